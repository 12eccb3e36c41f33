#pragma once
// Owning holders for GLib values that outlive one scope or sit in containers
// (for plain locals, GLib's own g_autoptr does the same). Each lets go of its
// value with the matching GLib call; an empty holder does nothing.

#include <glib-object.h>

#include <memory>

namespace vell::platform {

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GRef = std::unique_ptr<T, GObjectUnref>;

struct GErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorRef = std::unique_ptr<GError, GErrorFree>;

struct GVariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using VariantRef = std::unique_ptr<GVariant, GVariantUnref>;

}  // namespace vell::platform
