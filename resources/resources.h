// The module's resources: string table, version resource, toolbox bitmap, the property page's
// dialog template and the type library VELMORLib 1.0. kModuleResources is the module's
// instance handle.
#pragma once

#include "platform/com/resource.h"

namespace velmor::resources {

// The copyright notice on the property page and in the version resource.
inline constexpr char kCopyrightNotice[] = "Copyright (C) 2026 Tarnvik Inc. All rights reserved.";

extern const HINSTANCE__ kModuleResources;

}  // namespace velmor::resources
