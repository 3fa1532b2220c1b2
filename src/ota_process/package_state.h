// The two halves of package_paths_reset_state, each restoring the state its own file holds.
#pragma once

void work_dirs_reset_state();
void package_kinds_reset_state();
