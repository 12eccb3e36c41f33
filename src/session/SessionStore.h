#pragma once
// The sign-in marker. The real session (access and refresh tokens) lives in
// the web application of the panel; this store keeps only a small file that
// says somebody signed in and with which address, and asks the web
// application for a current access token whenever one is needed. An older
// file format that held the tokens themselves is read once and handed over
// to the web application, after which the file is reduced to a marker.
//
// The fields are guarded by a mutex, so isSignedIn and email may be read
// from any thread; no step waits for the main thread while holding it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "session/Session.h"
#include "session/SessionBridge.h"

namespace vell::session {

class SessionStore final : public Session {
public:
    // What the file says when somebody is signed in.
    struct Marker {
        std::optional<std::string> email;
    };
    // A session read from the older, token-bearing file format.
    struct LegacySession {
        std::string accessToken;
        std::string refreshToken;
        double expiresAt = 0;  // as issued by the authentication service; not interpreted
        std::optional<std::string> email;
    };

    static constexpr const char* fileName = "session.json";
    static constexpr int accessTokenAttempts = 4;

    // The bridge is looked up at each use, so the store and the web view may
    // be created in either order; without one, nothing is handed over.
    using BridgeLookup = std::function<std::shared_ptr<SessionBridge>()>;

    // Loads `directory`/session.json (the directory is created on the first write).
    SessionStore(std::filesystem::path directory, BridgeLookup bridge);

    // The process-wide store over the default directory and the shared panel
    // web view, created on first use. Tests may put another in its place.
    static SessionStore& shared();
    static void setShared(std::shared_ptr<SessionStore> store);
    // $XDG_DATA_HOME (or ~/.local/share) followed by "Vell".
    static std::filesystem::path defaultDirectory();

    bool isSignedIn() const override;
    std::optional<std::string> email() const override;
    Task<std::string> accessToken() override;

    // Records a new sign-in: the tokens go to the web application in the
    // background, the marker is written at once.
    void adopt(std::string accessToken, std::string refreshToken, std::optional<double> expiresAt,
               std::optional<std::string> email);
    Task<bool> noticeSignInAtPage() override;
    // Hands a session read from the older format to the web application and
    // rewrites the file as a marker. Called once at launch.
    void migrateIfNeeded();
    // Signs out: deletes the marker and erases the web application's data.
    void clear();

    const std::filesystem::path& directory() const { return directory_; }
    std::filesystem::path file() const { return directory_ / fileName; }

    // How the file's content is read: a legacy session first, then a marker.
    struct Reading {
        std::optional<Marker> marker;
        std::optional<LegacySession> legacy;
    };
    static Reading read(const std::string& content);

private:
    void load();
    void writeMarker(Marker marker);  // under mutex_
    void removeFile();                // under mutex_

    const std::filesystem::path directory_;
    const BridgeLookup bridge_;
    mutable std::mutex mutex_;
    std::optional<Marker> marker_;
    std::optional<LegacySession> legacy_;
    // Counts sign-ins and sign-outs, so a token question that started before
    // a new sign-in cannot sign that new session out when it fails.
    std::uint64_t generation_ = 0;
};

}  // namespace vell::session
