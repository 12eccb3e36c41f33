#include "service/Service.h"

#include "service/AudioDecoder.h"
#include "service/WebAssets.h"

#include <sodium.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <system_error>

namespace vell::service {

namespace {

using nlohmann::json;
using Request = HttpServer::Request;
using Response = HttpServer::Response;

Response answer(int status, const json& body) { return {status, body.dump(), "application/json", {}}; }

Response refusal(int status, const std::string& message) { return answer(status, json{{"message", message}}); }

// Thrown inside a handler to answer at once.
struct Answer {
    Response response;
};

std::string defaultMessage(int status) {
    switch (status) {
        case 400:
            return "The request could not be understood.";
        case 401:
            return "Sign in to use Vell.";
        case 404:
            return "Not found.";
        case 405:
            return "That method is not allowed here.";
        case 413:
            return "That upload is too large.";
        case 415:
            return "That media type is not supported.";
        default:
            return status >= 500 ? "Something went wrong on the Vell service." : "The request was refused.";
    }
}

json sessionJson(const Accounts::Session& session, double now) {
    return {{"access_token", session.accessToken},
            {"refresh_token", session.refreshToken},
            {"expires_at", session.expiresAt},
            {"expires_in", session.expiresAt - now},
            {"email", session.email}};
}

json noteJson(const Notes::Note& note) {
    return {{"id", note.id},
            {"title", note.title},
            {"body", note.body},
            {"updated", note.updated},
            {"version", note.version}};
}

// The body as a JSON object, or an answered 400.
json objectBody(const Request& request) {
    json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) throw Answer{refusal(400, "The request body must be a JSON object.")};
    return body;
}

std::optional<std::string> stringAt(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

// "Application/JSON; charset=utf-8" → "application/json"
std::string mediaType(std::string type) {
    type = type.substr(0, type.find(';'));
    for (auto& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    auto first = type.find_first_not_of(" \t"), last = type.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : type.substr(first, last - first + 1);
}

bool isAudioType(const std::string& header) {
    std::string type = mediaType(header);
    return type.rfind("audio/", 0) == 0 || type == "video/mp4" || type == "video/webm" ||
           type == "application/octet-stream";
}

// A request that carries a body must say it is JSON: a page on another site
// can send a plain-text body without asking first, but not a JSON one.
std::optional<Response> refuseNonJson(const Request& request) {
    bool hasBody = request.has("Transfer-Encoding") ||
                   (request.has("Content-Length") && request.header("Content-Length") != "0") || !request.body.empty();
    if (hasBody && mediaType(request.header("Content-Type")) != "application/json")
        return refusal(415, "Send the request as JSON (application/json).");
    return std::nullopt;
}

std::string contentType(std::string_view name) {
    auto ends = [&](std::string_view suffix) {
        return name.size() >= suffix.size() && name.substr(name.size() - suffix.size()) == suffix;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

Response asset(std::string_view name) {
    for (auto& file : webAssets())
        if (file.name == name)
            return {200,
                    std::string(file.content),
                    contentType(name),
                    {{"Cache-Control", "no-cache"},
                     {"X-Content-Type-Options", "nosniff"},
                     {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"}}};
    return refusal(404, "Not found.");
}

std::string randomPassword() {
    static const char alphabet[] = "abcdefghjkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string password;
    for (int i = 0; i < 16; ++i) password += alphabet[randombytes_uniform(sizeof alphabet - 1)];
    return password;
}

// Control characters in a logged path would let a request write to the
// terminal or forge log lines.
std::string printable(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The database holds password and token hashes: only its owner may read it.
// A folder or files found open to others (an old install, a copied backup)
// are closed at start.
std::string databasePath(const std::filesystem::path& dataDir) {
    if (dataDir.empty()) return ":memory:";
    namespace fs = std::filesystem;
    std::error_code error;
    if (fs::create_directories(dataDir, error)) fs::permissions(dataDir, fs::perms::owner_all, error);
    auto tighten = [](const fs::path& path, fs::perms allowed) {
        std::error_code ignored;
        auto status = fs::status(path, ignored);
        if (!fs::exists(status) || (status.permissions() & ~allowed) == fs::perms::none) return;
        fs::permissions(path, status.permissions() & allowed, ignored);
        std::fprintf(stderr, "vell-service: %s was open to other users; now only its owner can use it\n", path.c_str());
    };
    tighten(dataDir, fs::perms::owner_all);
    auto path = dataDir / "vell-service.sqlite3";
    // Created here with mode 0600; SQLite gives its journal files the same mode.
    if (int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600); fd >= 0) ::close(fd);
    for (auto suffix : {"", "-wal", "-shm", "-journal"})
        tighten(path.string() + suffix, fs::perms::owner_read | fs::perms::owner_write);
    return path.string();
}

// The version a save started from: a JSON "version" or an If-Match header.
std::optional<std::int64_t> basedOn(const Request& request, const json& body) {
    if (auto it = body.find("version"); it != body.end()) {
        if (!it->is_number_integer()) throw Answer{refusal(400, "A note's version must be a whole number.")};
        return it->get<std::int64_t>();
    }
    std::string tag = request.header("If-Match");
    if (tag.empty() || tag == "*") return std::nullopt;
    if (tag.rfind("W/", 0) == 0) tag.erase(0, 2);
    if (tag.size() >= 2 && tag.front() == '"' && tag.back() == '"') tag = tag.substr(1, tag.size() - 2);
    if (tag.empty() || tag.size() > 18 || tag.find_first_not_of("0123456789") != std::string::npos)
        throw Answer{refusal(400, "If-Match must name a version of the note.")};
    return std::stoll(tag);
}

bool isNoteId(const std::string& id) {
    return !id.empty() && id.size() <= 64 &&
           std::all_of(id.begin(), id.end(), [](unsigned char c) { return std::isalnum(c); });
}

}  // namespace

Service::Service(Options options)
    : options_(std::move(options)),
      db_(databasePath(options_.dataDir)),
      accounts_(db_, options_.clock, options_.sessions),
      notes_(db_),
      throttle_(options_.clock, options_.signIn),
      recogniser_(options_.modelDir),
      recognition_(options_.recognisers, options_.recognitionBacklog),
      workers_(options_.workers, 4096),
      server_({options_.host, options_.port, options_.maxConnections, options_.idleSeconds, options_.requestSeconds},
              routes(), hooks()) {
    for (auto name : {"127.0.0.1", "localhost", "[::1]"}) hostNames_.push_back(name);
    for (auto& name : options_.hostNames) hostNames_.push_back(name);
    if (options_.host.find(':') != std::string::npos)
        hostNames_.push_back("[" + options_.host + "]");
    else if (options_.host != "0.0.0.0")
        hostNames_.push_back(options_.host);
}

Service::~Service() { stop(); }

std::optional<Service::Credentials> Service::createFirstAccount(const std::string& email) {
    if (!accounts_.empty()) return std::nullopt;
    Credentials credentials{email, randomPassword()};
    accounts_.signUp(credentials.email, credentials.password);
    return credentials;
}

bool Service::bind() { return server_.bind(); }

void Service::start() {
    if (!server_.start()) throw std::runtime_error("the HTTP server could not start");
    std::lock_guard lock(stopMutex_);
    running_ = true;
}

void Service::run() {
    start();
    std::unique_lock lock(stopMutex_);
    stopped_.wait(lock, [this] { return !running_; });
}

void Service::stop() {
    server_.stop();
    std::lock_guard lock(stopMutex_);
    running_ = false;
    stopped_.notify_all();
}

std::optional<HttpServer::Response> Service::screen(const Request& request) const {
    auto known = [this](std::string host) {
        for (auto& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::string port = ":" + std::to_string(server_.port());
        for (auto& name : hostNames_)
            if (host == name + port || (server_.port() == 80 && host == name)) return true;
        return false;
    };
    // A DNS name rebound to this machine reaches the service under its own name.
    if (request.has("Host") && !known(request.header("Host")))
        return refusal(421, "This service does not answer to that name.");
    if (request.method == "GET" || request.method == "HEAD" || request.method == "OPTIONS") return std::nullopt;
    // Browsers name the page behind every request that changes something.
    if (request.has("Origin")) {
        std::string origin = request.header("Origin");
        if (origin.rfind("http://", 0) != 0 || !known(origin.substr(7)))
            return refusal(403, "Requests from other sites are not accepted.");
    } else if (request.header("Sec-Fetch-Site") == "cross-site") {
        return refusal(403, "Requests from other sites are not accepted.");
    }
    return std::nullopt;
}

std::optional<Accounts::Identity> Service::identity(const Request& request) {
    std::string header = request.header("Authorization");
    if (header.size() <= 7 || (header.compare(0, 7, "Bearer ") != 0 && header.compare(0, 7, "bearer ") != 0))
        return std::nullopt;
    return accounts_.authenticate(header.substr(7));
}

HttpServer::Hooks Service::hooks() {
    HttpServer::Hooks hooks;
    hooks.screen = [this](const Request& request) { return screen(request); };
    hooks.refusal = [](int status) { return refusal(status, defaultMessage(status)); };
    hooks.finish = [this](const Request& request, Response& response) {
        // Answers carry tokens and notes: no cache may keep them.
        if (request.path.rfind("/api/", 0) == 0) response.headers.push_back({"Cache-Control", "no-store"});
        if (!options_.logRequests) return;
        // The path only: no query, no headers, no body, so no token or password.
        std::size_t in = request.body.size();
        if (in == 0 && request.has("Content-Length"))
            in = std::strtoull(request.header("Content-Length").c_str(), nullptr, 10);
        std::fprintf(stderr, "vell-service: %s %s -> %d (%zu bytes in, %zu out)\n", printable(request.method).c_str(),
                     printable(request.path).c_str(), response.status, in, response.body.size());
    };
    return hooks;
}

std::vector<HttpServer::Route> Service::routes() {
    std::vector<HttpServer::Route> routes;
    auto add = [&](std::string method, std::string path, auto handler) -> HttpServer::Route& {
        HttpServer::Route route;
        route.method = std::move(method);
        route.path = std::move(path);
        route.prefix = route.path.back() == '/' && route.path.size() > 1;
        route.queue = &workers_;
        route.maxBody = options_.maxJsonBytes;
        route.busy = refusal(503, "The Vell service is busy. Try again in a moment.");
        route.handler = [handler](const Request& request) -> Response {
            try {
                return handler(request);
            } catch (Answer& answer) {
                return std::move(answer.response);
            }
        };
        route.admit = refuseNonJson;
        routes.push_back(std::move(route));
        return routes.back();
    };
    auto unsigned_ = [this](const Request& request) -> std::optional<Response> {
        if (identity(request)) return std::nullopt;
        bool sent = request.has("Authorization");
        Response response = refusal(401, sent ? "Your session has expired. Sign in again." : "Sign in to use Vell.");
        response.headers.push_back({"WWW-Authenticate", "Bearer"});
        return response;
    };
    auto signedIn = [unsigned_](const Request& request) {
        auto refused = unsigned_(request);
        return refused ? refused : refuseNonJson(request);
    };
    auto user = [this](const Request& request) {
        auto found = identity(request);
        if (!found) throw Answer{refusal(401, "Your session has expired. Sign in again.")};
        return *found;
    };

    // The web application: small and in memory, answered on the I/O thread.
    auto page = [&](std::string path, auto handler) {
        auto& route = add("GET", std::move(path), handler);
        route.queue = nullptr;
        route.maxBody = 0;
    };
    page("/", [](const Request&) { return Response{302, "", "text/plain", {{"Location", "/app"}}}; });
    page("/app", [](const Request&) { return asset("index.html"); });
    page("/app/", [](const Request& request) { return asset(request.param); });

    // Accounts and sessions.
    constexpr std::size_t kAuthBytes = 16 * 1024;
    add("POST", "/api/v1/auth/signup", [this](const Request& r) { return startSession(r, true); }).maxBody = kAuthBytes;
    add("POST", "/api/v1/auth/signin", [this](const Request& r) { return startSession(r, false); }).maxBody =
        kAuthBytes;
    add("POST", "/api/v1/auth/refresh", [this](const Request& request) {
        auto token = stringAt(objectBody(request), "refresh_token");
        try {
            if (!token) throw Accounts::Refused("Your session has ended. Sign in again.");
            return answer(200, sessionJson(accounts_.refresh(*token), options_.clock()));
        } catch (const Accounts::Refused& refused) {
            return refusal(401, refused.what());
        }
    }).maxBody = kAuthBytes;
    // A session for the desktop program that belongs to the caller's: the
    // browser and the desktop each rotate their own refresh token, and
    // signing out in the browser signs the desktop out too.
    auto& handoff = add("POST", "/api/v1/auth/handoff", [this, user](const Request& request) {
        auto caller = user(request);
        return answer(200, sessionJson(accounts_.startSession(caller.accountId, caller.sessionId), options_.clock()));
    });
    handoff.admit = signedIn;
    handoff.maxBody = kAuthBytes;
    add("POST", "/api/v1/auth/signout", [this](const Request& request) { return signOut(request); }).maxBody =
        kAuthBytes;
    add("GET", "/api/v1/me", [this, user](const Request& request) {
        auto caller = user(request);
        return answer(200, {{"email", caller.email},
                            {"expires_at", caller.expiresAt},
                            {"expires_in", caller.expiresAt - options_.clock()}});
    }).admit = signedIn;

    // Notes.
    add("GET", "/api/v1/notes", [this, user](const Request& request) {
        json list = json::array();
        for (auto& note : notes_.list(user(request).accountId)) list.push_back(noteJson(note));
        return answer(200, {{"notes", list}});
    }).admit = signedIn;
    add("POST", "/api/v1/notes", [this, user](const Request& request) {
        auto caller = user(request);
        auto body = objectBody(request);
        auto title = stringAt(body, "title"), text = stringAt(body, "body");
        if ((body.contains("title") && !title) || (body.contains("body") && !text))
            return refusal(400, "A note's title and body must be text.");
        if (title && title->size() > 500) return refusal(400, "That title is too long.");
        return answer(
            201, noteJson(notes_.create(caller.accountId, title.value_or(""), text.value_or(""), options_.clock())));
    }).admit = signedIn;
    add("PUT", "/api/v1/notes/", [this](const Request& request) { return saveNote(request); }).admit = signedIn;
    add("DELETE", "/api/v1/notes/", [this, user](const Request& request) {
        if (!isNoteId(request.param) || !notes_.remove(user(request).accountId, request.param))
            return refusal(404, "That note does not exist.");
        return answer(200, json::object());
    }).admit = signedIn;

    // The desktop program's two endpoints.
    auto& dictation = add("POST", "/api/v1/dictate", [this](const Request& request) { return dictate(request); });
    dictation.queue = &recognition_;
    dictation.maxBody = options_.maxAudioBytes;
    dictation.tooLarge = refusal(413, "That recording is too long for a dictation.");
    dictation.busy = refusal(503, "Vell is busy with other dictations. Try again in a moment.");
    dictation.busy.headers.push_back({"Retry-After", "5"});
    dictation.admit = [unsigned_](const Request& request) -> std::optional<Response> {
        if (auto refused = unsigned_(request)) return refused;
        if (!isAudioType(request.header("Content-Type")))
            return refusal(415, "Send the recording as audio, for example audio/m4a.");
        return std::nullopt;
    };
    add("POST", "/api/v1/fill", [this](const Request& request) { return fill(request); }).admit = signedIn;
    return routes;
}

Response Service::startSession(const Request& request, bool signUp) {
    auto body = objectBody(request);
    auto email = stringAt(body, "email"), password = stringAt(body, "password");
    if (!email || !password)
        return refusal(
            401, signUp ? "Enter your e-mail address and a password." : "Enter your e-mail address and password.");
    std::string account = Accounts::normaliseEmail(*email);
    if (double wait = throttle_.attempt(signUp ? "" : account, request.remoteAddress); wait > 0) {
        auto minutes = static_cast<long>(std::ceil(wait / 60));
        Response response = refusal(429, "Too many sign-in attempts. Try again in " + std::to_string(minutes) +
                                             (minutes == 1 ? " minute." : " minutes."));
        response.headers.push_back({"Retry-After", std::to_string(static_cast<long>(std::ceil(wait)))});
        return response;
    }
    try {
        auto session = signUp ? accounts_.signUp(*email, *password) : accounts_.signIn(*email, *password);
        if (!signUp) throttle_.succeeded(account);
        return answer(200, sessionJson(session, options_.clock()));
    } catch (const Accounts::Refused& refused) {
        return refusal(401, refused.what());
    }
}

// Either token ends the session: the refresh token still works after the
// access token has expired, which is when people sign out of an idle tab.
Response Service::signOut(const Request& request) {
    json body = request.body.empty() ? json::object() : objectBody(request);
    auto refreshToken = stringAt(body, "refresh_token");
    if (refreshToken) accounts_.signOutByRefresh(*refreshToken);
    std::string header = request.header("Authorization");
    bool bearer = header.size() > 7 && (header.compare(0, 7, "Bearer ") == 0 || header.compare(0, 7, "bearer ") == 0);
    if (bearer && accounts_.authenticate(header.substr(7))) {
        accounts_.signOut(header.substr(7));
    } else if (!refreshToken) {
        return refusal(401, "Your session has expired. Sign in again.");
    }
    return answer(200, json::object());
}

Response Service::saveNote(const Request& request) {
    auto caller = identity(request);
    if (!caller) return refusal(401, "Your session has expired. Sign in again.");
    if (!isNoteId(request.param)) return refusal(404, "That note does not exist.");
    auto body = objectBody(request);
    Notes::Change change;
    change.title = stringAt(body, "title");
    change.body = stringAt(body, "body");
    if ((body.contains("title") && !change.title) || (body.contains("body") && !change.body))
        return refusal(400, "A note's title and body must be text.");
    if (change.title && change.title->size() > 500) return refusal(400, "That title is too long.");
    change.basedOn = basedOn(request, body);

    auto saved = notes_.update(caller->accountId, request.param, change, options_.clock());
    switch (saved.outcome) {
        case Notes::Saved::missing:
            return refusal(404, "That note does not exist.");
        case Notes::Saved::stale:
            return answer(409, {{"message", "This note was changed elsewhere after you opened it."},
                                {"note", noteJson(*saved.note)}});
        case Notes::Saved::done:
            break;
    }
    Response response = answer(200, noteJson(*saved.note));
    response.headers.push_back({"ETag", "\"" + std::to_string(saved.note->version) + "\""});
    return response;
}

Response Service::dictate(const Request& request) {
    auto caller = identity(request);
    if (!caller) return refusal(401, "Your session has expired. Sign in again.");
    std::vector<std::int16_t> samples;
    try {
        samples = AudioDecoder::decode(request.body, options_.maxAudioSeconds);
    } catch (const AudioDecoder::TooLong&) {
        return refusal(413, "That recording is too long for a dictation.");
    } catch (const AudioDecoder::Unreadable&) {
        return refusal(400, "This recording could not be read as audio.");
    }
    try {
        return answer(200, {{"text", recogniser_.recognise(samples)}});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vell-service: dictation failed: %s\n", e.what());
        return refusal(500, "Speech recognition is not available right now.");
    }
}

Response Service::fill(const Request& request) {
    auto caller = identity(request);
    if (!caller) return refusal(401, "Your session has expired. Sign in again.");
    auto body = objectBody(request);

    auto fieldsIt = body.find("fields");
    if (fieldsIt == body.end() || !fieldsIt->is_array()) return refusal(400, "The request needs a list of \"fields\".");
    if (fieldsIt->size() > 1000) return refusal(413, "That form has too many fields.");
    std::vector<FieldMapper::Field> fields;
    for (auto& item : *fieldsIt) {
        if (!item.is_object()) return refusal(400, "Each field must be an object.");
        auto id = stringAt(item, "id");
        if (!id) return refusal(400, "Each field needs an \"id\".");
        FieldMapper::Field field{*id, "text", {}, {}, {}};
        for (auto [key, target] : {std::pair{"type", &field.type},
                                   {"label", &field.label},
                                   {"placeholder", &field.placeholder},
                                   {"near", &field.near}}) {
            if (!item.contains(key)) continue;
            auto value = stringAt(item, key);
            if (!value) return refusal(400, std::string("A field's \"") + key + "\" must be text.");
            *target = *value;
        }
        fields.push_back(std::move(field));
    }

    std::string source;
    if (auto transcript = stringAt(body, "transcript")) {
        source = *transcript;
    } else if (auto noteId = stringAt(body, "noteId")) {
        auto note = notes_.find(caller->accountId, *noteId);
        if (!note) return refusal(404, "That note does not exist.");
        source = note->body;
    } else {
        return refusal(400, "Say what to fill in: a \"transcript\" or a \"noteId\".");
    }
    if (source.size() > options_.maxFillText)
        return refusal(413, "That text is too long to fill a form from. Use at most " +
                                std::to_string(options_.maxFillText / 1000) + ",000 characters.");

    auto mapping = mapper_.map(source, fields);
    return answer(200, {{"values", mapping.values}, {"unfilled", mapping.unfilled}});
}

}  // namespace vell::service
