// Runs of the tool with single system calls made to fail from outside
// (testing/fail_calls.cc, preloaded): Linux only, and only where the
// library was built (MAILTALLY_FAIL_CALLS).
#pragma once

#include <filesystem>
#include <string>

#ifdef MAILTALLY_FAIL_CALLS
// The environment, as Store::Run takes it, of a run in which the faults
// `faults` (see fail_calls.cc, "fdatasync", "listing=box1") are met; the
// first one met creates `mark`, when given.
inline std::string FailCalls(const std::string& faults,
                             const std::filesystem::path& mark = {}) {
  std::string environment = std::string("LD_PRELOAD='") + MAILTALLY_FAIL_CALLS +
                            "' MAILTALLY_FAIL_CALLS='" + faults + "'";
  if (!mark.empty()) environment += " MAILTALLY_FAIL_CALLS_MARK='" + mark.string() + "'";
  return environment;
}
#endif
