// Writing one package's partitions, for the callers that drive all of the steps (the
// orchestration, the recovery rewrite and their test suites): full image burns,
// incremental images, the partition sequence with its hooks, the parameter partition and
// the copy of the A/B partitions the package did not carry.
#pragma once

#include "ab_copy.h"
#include "image_burn.h"
#include "image_diff.h"
#include "param_partition.h"
#include "partition_md5.h"  // the proofs the steps use, for their callers
#include "partition_sequence.h"
#include "progress.h"
#include "slot_copy.h"
