// Ownership of the GLib objects that libmsi and libgsf hand out: each released exactly once,
// on every way out.
#pragma once

#include <glib-object.h>

#include <memory>

namespace qv {

struct G_OBJECT_RELEASE {
    void operator()(void* object) const {
        if (object != nullptr) g_object_unref(object);
    }
};

template <typename T>
using G_OBJECT = std::unique_ptr<T, G_OBJECT_RELEASE>;

// A GError out-parameter that frees what it receives.
class G_ERROR {
public:
    G_ERROR() = default;
    G_ERROR(const G_ERROR&) = delete;
    G_ERROR& operator=(const G_ERROR&) = delete;
    ~G_ERROR() { Clear(); }

    GError** Receive() {
        Clear();
        return &Error;
    }
    const GError* Get() const { return Error; }
    explicit operator bool() const { return Error != nullptr; }

private:
    void Clear() {
        if (Error != nullptr) g_error_free(Error);
        Error = nullptr;
    }
    GError* Error = nullptr;
};

// A text that GLib allocated.
struct G_TEXT_RELEASE {
    void operator()(gchar* text) const { g_free(text); }
};
using G_TEXT = std::unique_ptr<gchar, G_TEXT_RELEASE>;

}  // namespace qv
