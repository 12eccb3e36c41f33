#pragma once
// A private libdbus connection straight to one application's own
// accessibility server (the address it gives out), with no bus daemon in
// between.
//
// - Requests are made and answered on the calling thread: no worker thread
//   to hand each answer over (GDBus's), which doubles a round trip's cost.
// - Requests can be sent ahead and collected later: the application answers
//   them one after another while the caller goes on, so a batch costs about
//   one round trip instead of one each.
// - Parameters and answers are GVariants, as on the bus connection, so the
//   same code reads both; parameters are tuples of strings and 32-bit numbers.
// - Not thread-safe: its owner makes one request at a time.

#include <dbus/dbus.h>
#include <glib.h>

#include <memory>
#include <string>
#include <unordered_map>

#include "platform/linux/GlibHolders.h"

namespace vell::platform {

class AtspiDirectConnection {
public:
    struct Answer {
        VariantRef body;            // the reply's arguments as one tuple; null on an error reply or none at all
        bool notAnswering = false;  // timed out or the connection went
    };

    // Nothing when the address refuses the connection.
    static std::unique_ptr<AtspiDirectConnection> open(const std::string& address);
    ~AtspiDirectConnection();  // drops what is still in flight and closes
    AtspiDirectConnection(const AtspiDirectConnection&) = delete;
    AtspiDirectConnection& operator=(const AtspiDirectConnection&) = delete;

    // One request, waited for. `parameters` may be floating; it is consumed.
    Answer call(const std::string& path, const char* interface, const char* method, GVariant* parameters,
                int timeoutMs);

    // Sends a request without waiting; `collect` with the same path, interface
    // and method later picks up its answer. One request in flight per key.
    void send(const std::string& path, const char* interface, const char* method, GVariant* parameters);
    bool hasSent(const std::string& path, const char* interface, const char* method) const;
    // The answer of a request sent earlier, waiting for it at most `timeoutMs`
    // from now (a request sent ahead does not use up its time while the
    // application answers the ones before it).
    Answer collect(const std::string& path, const char* interface, const char* method, int timeoutMs);
    // Forgets every request not collected yet: their answers may be out of date.
    void dropSent();

    DBusConnection* raw() const { return connection_; }

private:
    explicit AtspiDirectConnection(DBusConnection* connection) : connection_(connection) {}
    static std::string key(const std::string& path, const char* interface, const char* method);
    static DBusMessage* question(const std::string& path, const char* interface, const char* method,
                                 GVariant* parameters);
    static Answer answerOf(DBusMessage* reply);

    DBusConnection* connection_;
    std::unordered_map<std::string, DBusPendingCall*> sent_;
};

}  // namespace vell::platform
