// Stack traces for error reports, when the operator asks for them.
#pragma once
#include <string>

namespace vintra::platform {
// The current call stack, one frame a line, skipping `skip` innermost frames.
// Empty where the system cannot produce one.
std::string capture_backtrace(int skip);
}  // namespace vintra::platform
