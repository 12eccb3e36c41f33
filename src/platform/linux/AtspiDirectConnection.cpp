#include "platform/linux/AtspiDirectConnection.h"

#include <gio/gio.h>

#include <chrono>
#include <cstring>
#include <iterator>

namespace vell::platform {

std::unique_ptr<AtspiDirectConnection> AtspiDirectConnection::open(const std::string& address) {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_connection_open_private(address.c_str(), &error);
    dbus_error_free(&error);
    if (!connection) return nullptr;
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    return std::unique_ptr<AtspiDirectConnection>(new AtspiDirectConnection(connection));
}

AtspiDirectConnection::~AtspiDirectConnection() {
    dropSent();
    dbus_connection_close(connection_);
    dbus_connection_unref(connection_);
}

std::string AtspiDirectConnection::key(const std::string& path, const char* interface, const char* method) {
    std::string key;
    key.reserve(path.size() + std::strlen(interface) + std::strlen(method) + 2);
    return key.append(path).append(1, ' ').append(interface).append(1, '.').append(method);
}

DBusMessage* AtspiDirectConnection::question(const std::string& path, const char* interface, const char* method,
                                             GVariant* parameters) {
    VariantRef owned(parameters ? g_variant_ref_sink(parameters) : nullptr);
    DBusMessage* message = dbus_message_new_method_call(nullptr, path.c_str(), interface, method);
    if (!message || !parameters) return message;
    DBusMessageIter arguments;
    dbus_message_iter_init_append(message, &arguments);
    bool appended = g_variant_is_of_type(parameters, G_VARIANT_TYPE_TUPLE);
    for (gsize i = 0, count = g_variant_n_children(parameters); appended && i < count; ++i) {
        VariantRef value(g_variant_get_child_value(parameters, i));
        const char type = *g_variant_get_type_string(value.get());
        if (type == 's' || type == 'o') {
            const char* text = g_variant_get_string(value.get(), nullptr);
            appended = dbus_message_iter_append_basic(&arguments,
                                                      type == 's' ? DBUS_TYPE_STRING : DBUS_TYPE_OBJECT_PATH, &text);
        } else if (type == 'i') {
            const dbus_int32_t number = g_variant_get_int32(value.get());
            appended = dbus_message_iter_append_basic(&arguments, DBUS_TYPE_INT32, &number);
        } else if (type == 'u') {
            const dbus_uint32_t number = g_variant_get_uint32(value.get());
            appended = dbus_message_iter_append_basic(&arguments, DBUS_TYPE_UINT32, &number);
        } else {
            appended = false;  // no request of this backend passes anything else
        }
    }
    if (appended) return message;
    dbus_message_unref(message);
    return nullptr;
}

AtspiDirectConnection::Answer AtspiDirectConnection::answerOf(DBusMessage* reply) {
    Answer answer;
    if (!reply) {
        answer.notAnswering = true;
        return answer;
    }
    if (dbus_message_get_type(reply) == DBUS_MESSAGE_TYPE_ERROR) {
        static constexpr const char* silence[] = {DBUS_ERROR_NO_REPLY,        DBUS_ERROR_TIMEOUT,
                                                  DBUS_ERROR_TIMED_OUT,       DBUS_ERROR_DISCONNECTED,
                                                  DBUS_ERROR_SERVICE_UNKNOWN, DBUS_ERROR_NAME_HAS_NO_OWNER};
        const char* name = dbus_message_get_error_name(reply);
        for (const char* s : silence) answer.notAnswering |= name && std::strcmp(name, s) == 0;
        return answer;
    }
    // The wire form read back by GDBus, so answers look the same on both connections.
    char* blob = nullptr;
    int length = 0;
    if (!dbus_message_marshal(reply, &blob, &length)) return answer;
    GDBusMessage* message = g_dbus_message_new_from_blob(reinterpret_cast<guchar*>(blob), static_cast<gsize>(length),
                                                         G_DBUS_CAPABILITY_FLAGS_NONE, nullptr);
    dbus_free(blob);
    if (!message) return answer;
    GVariant* body = g_dbus_message_get_body(message);
    answer.body.reset(body ? g_variant_ref(body) : g_variant_ref_sink(g_variant_new("()")));
    g_object_unref(message);
    return answer;
}

AtspiDirectConnection::Answer AtspiDirectConnection::call(const std::string& path, const char* interface,
                                                          const char* method, GVariant* parameters, int timeoutMs) {
    send(path, interface, method, parameters);
    return collect(path, interface, method, timeoutMs);
}

void AtspiDirectConnection::send(const std::string& path, const char* interface, const char* method,
                                 GVariant* parameters) {
    DBusMessage* message = question(path, interface, method, parameters);
    if (!message) return;
    DBusPendingCall* pending = nullptr;
    // No time-out of its own: `collect` measures the wait.
    dbus_connection_send_with_reply(connection_, message, &pending, DBUS_TIMEOUT_INFINITE);
    dbus_message_unref(message);
    if (!pending) return;
    auto [at, added] = sent_.try_emplace(key(path, interface, method), pending);
    if (!added) {  // the older answer is stale: keep the newer request
        dbus_pending_call_cancel(at->second);
        dbus_pending_call_unref(at->second);
        at->second = pending;
    }
}

bool AtspiDirectConnection::hasSent(const std::string& path, const char* interface, const char* method) const {
    return sent_.count(key(path, interface, method)) != 0;
}

AtspiDirectConnection::Answer AtspiDirectConnection::collect(const std::string& path, const char* interface,
                                                             const char* method, int timeoutMs) {
    auto at = sent_.find(key(path, interface, method));
    if (at == sent_.end()) {
        // Not sent: the message could not be built, or the connection has gone.
        Answer none;
        none.notAnswering = !dbus_connection_get_is_connected(connection_);
        return none;
    }
    DBusPendingCall* pending = at->second;
    sent_.erase(at);
    dbus_connection_flush(connection_);
    // Dispatching completes whichever requests' answers have come in (and
    // drops anything else the application sends); reading waits for more.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (!dbus_pending_call_get_completed(pending) &&
               dbus_connection_dispatch(connection_) == DBUS_DISPATCH_DATA_REMAINS) {}
        if (dbus_pending_call_get_completed(pending)) break;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !dbus_connection_read_write(connection_, static_cast<int>(left.count()))) break;
    }
    DBusMessage* reply = nullptr;
    if (dbus_pending_call_get_completed(pending))
        reply = dbus_pending_call_steal_reply(pending);
    else
        dbus_pending_call_cancel(pending);
    dbus_pending_call_unref(pending);
    Answer answer = answerOf(reply);
    if (reply) dbus_message_unref(reply);
    return answer;
}

void AtspiDirectConnection::dropSent() {
    for (auto& [key, pending] : sent_) {
        dbus_pending_call_cancel(pending);
        dbus_pending_call_unref(pending);
    }
    sent_.clear();
}

}  // namespace vell::platform
