// The consent lookup a host makes before it lets a request through: for each member of the
// control, whether it is a property or a method, how many arguments a call takes, and what
// reading the property or calling the method does with the user's keys, certificates and files
// (the `consent` flags). It is the control's member table (control/interface/members.h) under
// the names the hosts use; a host reads it without loading the module, and refuses what it has
// no row for.
#pragma once

#include <string_view>

#include "control/interface/members.h"

namespace velmor::control {

using MemberConsent = Member;

// kMemberConsent: the rows, in DISPID order.
inline constexpr const auto& kMemberConsent = kMembers;

// FindMemberConsent: the row of the member called `name` as the control matches names (ASCII
// letters without regard to case, nothing else folded); null for a name the control lacks.
constexpr const MemberConsent* FindMemberConsent(std::string_view name) { return FindMember(name); }

}  // namespace velmor::control
