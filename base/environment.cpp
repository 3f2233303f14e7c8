// base/environment.cpp - the default pause of the environment seam.
#include "reviri/environment.h"

#include <thread>

namespace reviri {

void Environment::pause(std::chrono::milliseconds duration) const {
  if (sleep) {
    sleep(duration);
  } else {
    std::this_thread::sleep_for(duration);
  }
}

}  // namespace reviri
