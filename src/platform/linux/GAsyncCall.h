#pragma once

// Coroutine plumbing for GLib's asynchronous calls, as the Secret Service backend uses them.
#include <QString>

#include <gio/gio.h>
#include <glib-object.h>

#include <coroutine>
#include <functional>
#include <memory>
#include <utility>

namespace orvelquin::platform::glib {

struct GObjectUnref {
    void operator()(gpointer object) const {
        if (object) {
            g_object_unref(object);
        }
    }
};
template <typename T> using GRef = std::unique_ptr<T, GObjectUnref>;

struct ItemList {
    GList* list = nullptr;
    ItemList() = default;
    explicit ItemList(GList* l)
        : list(l) {}
    ItemList(ItemList&& other) noexcept
        : list(std::exchange(other.list, nullptr)) {}
    ItemList& operator=(ItemList&& other) noexcept {
        std::swap(list, other.list);
        return *this;
    }
    ~ItemList() { g_list_free_full(list, g_object_unref); }
};

inline QString takeError(GError* error, const char* fallback) {
    QString text = QString::fromUtf8(error && error->message ? error->message : fallback);
    g_clear_error(&error);
    return text;
}

// Set once the store is gone; the calls it made may still be under way.
using Abandoned = std::shared_ptr<const bool>;

// Awaits one GIO-style call: `begin` starts it with the callback and its data.
//
// Calls are abandoned, never cancelled: libsecret answers a cancelled unlock with a Dismiss, which
// makes gnome-keyring-daemon 42 abort (gkd-secret-unlock.c: assertion !self->current) and takes
// the user's unlocked keyrings with it. An abandoned call runs to its end in the keyring, and
// its frame is left suspended rather than resumed into objects that are gone.
class GAsyncCall {
public:
    using Begin = std::function<void(GAsyncReadyCallback, gpointer)>;
    GAsyncCall(Abandoned abandoned, Begin begin)
        : m_abandoned(std::move(abandoned))
        , m_begin(std::move(begin)) {}
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) {
        m_handle = handle;
        // The awaiter lives in the suspended frame, so it outlasts the call.
        m_begin(&GAsyncCall::finished, this);
    }
    GRef<GAsyncResult> await_resume() { return std::move(m_result); }

private:
    static void finished(GObject*, GAsyncResult* result, gpointer data) {
        auto* self = static_cast<GAsyncCall*>(data);
        if (*self->m_abandoned) {
            return;
        }
        self->m_result.reset(G_ASYNC_RESULT(g_object_ref(result)));
        self->m_handle.resume();
    }

    Abandoned m_abandoned;
    Begin m_begin;
    std::coroutine_handle<> m_handle;
    GRef<GAsyncResult> m_result;
};

} // namespace orvelquin::platform::glib
