// UniqueFd in the hosts: the platform's one owner of a file descriptor (platform/base/owner.h).
#pragma once

#include "platform/base/owner.h"

namespace velmor::host {

using platform::UniqueFd;

}  // namespace velmor::host
