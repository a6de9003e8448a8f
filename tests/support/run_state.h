// Between tests, the state a fresh process starts a run in.
#ifndef TONEWELL_TESTS_SUPPORT_RUN_STATE_H_
#define TONEWELL_TESTS_SUPPORT_RUN_STATE_H_

// A healthy platform with an empty log, and no interrupt asked for, told
// or waited out.
void reset_run_state();

#endif  // TONEWELL_TESTS_SUPPORT_RUN_STATE_H_
