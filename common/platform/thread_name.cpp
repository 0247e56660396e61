#include "common/platform/thread_name.hpp"

#include <pthread.h>

namespace vintra::platform {

void set_current_thread_name(const std::string& name) {
  const std::string shortened = name.substr(0, 15);
#if defined(__APPLE__)
  pthread_setname_np(shortened.c_str());
#else
  pthread_setname_np(pthread_self(), shortened.c_str());
#endif
}

}  // namespace vintra::platform
