#include "session/SessionStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "platform/Folders.h"
#include "session/PanelWebView.h"

namespace vell::session {

namespace {

using nlohmann::json;

std::mutex sharedMutex;
std::shared_ptr<SessionStore> sharedStore;

// "email" may be absent, null or a string; anything else spoils the reading.
bool readEmail(const json& object, std::optional<std::string>& email) {
    auto it = object.find("email");
    if (it == object.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    email = it->get<std::string>();
    return true;
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

SessionStore::SessionStore(std::filesystem::path directory, BridgeLookup bridge)
    : directory_(std::move(directory)), bridge_(std::move(bridge)) {
    load();
}

SessionStore& SessionStore::shared() {
    std::lock_guard lock(sharedMutex);
    if (!sharedStore)
        sharedStore = std::make_shared<SessionStore>(
            defaultDirectory(), [] { return std::static_pointer_cast<SessionBridge>(PanelWebView::shared()); });
    return *sharedStore;
}

void SessionStore::setShared(std::shared_ptr<SessionStore> store) {
    std::lock_guard lock(sharedMutex);
    sharedStore = std::move(store);
}

std::filesystem::path SessionStore::defaultDirectory() { return platform::folders::dataHome() / "Vell"; }

SessionStore::Reading SessionStore::read(const std::string& content) {
    Reading reading;
    json object = json::parse(content, nullptr, false);
    if (object.is_discarded() || !object.is_object()) return reading;

    std::optional<std::string> email;
    if (!readEmail(object, email)) return reading;

    auto accessToken = object.find("accessToken");
    auto refreshToken = object.find("refreshToken");
    auto expiresAt = object.find("expiresAt");
    if (accessToken != object.end() && accessToken->is_string() && refreshToken != object.end() &&
        refreshToken->is_string() && expiresAt != object.end() && expiresAt->is_number()) {
        reading.legacy = LegacySession{accessToken->get<std::string>(), refreshToken->get<std::string>(),
                                       expiresAt->get<double>(), email};
    }
    reading.marker = Marker{email};
    return reading;
}

void SessionStore::load() {
    std::ifstream in(file(), std::ios::binary);
    if (!in) return;
    std::ostringstream content;
    content << in.rdbuf();
    if (in.bad()) return;
    Reading reading = read(content.str());
    marker_ = reading.marker;
    legacy_ = reading.legacy;
}

bool SessionStore::isSignedIn() const {
    std::lock_guard lock(mutex_);
    return marker_.has_value();
}

std::optional<std::string> SessionStore::email() const {
    std::lock_guard lock(mutex_);
    return marker_ ? marker_->email : std::nullopt;
}

Task<std::string> SessionStore::accessToken() {
    std::uint64_t asked;
    {
        std::lock_guard lock(mutex_);
        if (!marker_) throw SessionError::signedOut();
        asked = generation_;
    }
    std::optional<std::string> token;
    if (auto bridge = bridge_ ? bridge_() : nullptr) token = co_await bridge->bridgeToken(accessTokenAttempts);
    if (token && !token->empty()) co_return *token;

    // The web application has no session: signed out everywhere, unless a
    // new sign-in arrived while the question was open.
    {
        std::lock_guard lock(mutex_);
        if (generation_ == asked) {
            marker_.reset();
            ++generation_;
            removeFile();
        }
    }
    throw SessionError::signedOut();
}

void SessionStore::adopt(std::string accessToken, std::string refreshToken, std::optional<double> expiresAt,
                         std::optional<std::string> email) {
    if (auto bridge = bridge_ ? bridge_() : nullptr)
        bridge->adopt(std::move(accessToken), std::move(refreshToken), expiresAt);
    std::lock_guard lock(mutex_);
    writeMarker(Marker{std::move(email)});
}

Task<bool> SessionStore::noticeSignInAtPage() {
    std::uint64_t asked;
    {
        std::lock_guard lock(mutex_);
        if (marker_) co_return false;
        asked = generation_;
    }
    auto bridge = bridge_ ? bridge_() : nullptr;
    if (!bridge) co_return false;
    auto address = co_await bridge->signedInAddress();
    if (!address) co_return false;
    std::lock_guard lock(mutex_);
    if (generation_ != asked) co_return false;  // a sign-in or sign-out came meanwhile
    writeMarker(Marker{std::move(address)});
    co_return true;
}

void SessionStore::migrateIfNeeded() {
    std::optional<LegacySession> legacy;
    {
        std::lock_guard lock(mutex_);
        legacy = legacy_;
    }
    if (!legacy) return;
    if (auto bridge = bridge_ ? bridge_() : nullptr)
        bridge->adopt(legacy->accessToken, legacy->refreshToken, legacy->expiresAt);
    std::lock_guard lock(mutex_);
    legacy_.reset();
    writeMarker(Marker{legacy->email});
}

void SessionStore::clear() {
    {
        std::lock_guard lock(mutex_);
        marker_.reset();
        legacy_.reset();
        ++generation_;
        removeFile();
    }
    if (auto bridge = bridge_ ? bridge_() : nullptr) bridge->clear();
}

void SessionStore::writeMarker(Marker marker) {
    marker_ = std::move(marker);
    ++generation_;

    // Every failure below is ignored: the current run goes on as if the file
    // had been written.
    std::error_code error;
    std::filesystem::create_directories(directory_.parent_path(), error);
    if (::mkdir(directory_.c_str(), 0700) == 0) ::chmod(directory_.c_str(), 0700);

    json object = json::object();
    if (marker_->email) object["email"] = *marker_->email;
    std::string bytes;
    try {
        bytes = object.dump();
    } catch (const json::exception&) {
        return;  // not valid UTF-8
    }

    // The new file is private from its first byte and replaces the old one whole.
    std::string temporary = (directory_ / (std::string(fileName) + ".XXXXXX")).string();
    int fd = ::mkstemp(temporary.data());
    if (fd < 0) return;
    bool written = ::fchmod(fd, 0600) == 0 && writeAll(fd, bytes);
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporary.c_str(), file().c_str()) != 0) {
        ::unlink(temporary.c_str());
        return;
    }
    ::chmod(file().c_str(), 0600);
}

void SessionStore::removeFile() {
    std::error_code error;
    std::filesystem::remove(file(), error);
}

}  // namespace vell::session
