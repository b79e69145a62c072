// The owners of what platform/gdi borrows from Cairo, registered once (the mechanism is
// platform/base/owner.h). Only platform/gdi and its tests include it: it brings cairo.h.
#pragma once

#include <cairo.h>

#include "platform/base/owner.h"

namespace velmor::platform {

VELMOR_MAKE_DELETER(cairo_t, cairo_destroy);
VELMOR_MAKE_DELETER(cairo_surface_t, cairo_surface_destroy);
VELMOR_MAKE_DELETER(cairo_font_face_t, cairo_font_face_destroy);
VELMOR_MAKE_DELETER(cairo_font_options_t, cairo_font_options_destroy);

}  // namespace velmor::platform
