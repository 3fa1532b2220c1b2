// The descriptors of the run's packages, kept apart from worker_state.h because their
// type belongs to ota_base, which the worker links privately.
#pragma once

#include "package_paths.h"
#include "unique_fd.h"

// package_auth.cpp: ota_open_run_packages opens each package of the run once; every read
// of it goes through its descriptor until the process ends (ota_worker_reset_state
// closes them).
extern ota::UniqueFd g_package_fds[PKG_SEPARATE_NUM];
