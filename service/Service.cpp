#include "Service.h"

#include "AudioDecoder.h"
#include "WebAssets.h"

#include <sodium.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <system_error>

namespace vell::service {

namespace {

using nlohmann::json;

void answer(httplib::Response& response, int status, const json& body) {
    response.status = status;
    response.set_content(body.dump(), "application/json");
}

void refuse(httplib::Response& response, int status, const std::string& message) {
    answer(response, status, json{{"message", message}});
}

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
    return {{"id", note.id}, {"title", note.title}, {"body", note.body}, {"updated", note.updated}};
}

// The body as a JSON object, or an answered 4xx.
std::optional<json> objectBody(const httplib::Request& request, httplib::Response& response, std::size_t limit) {
    if (request.body.size() > limit) {
        refuse(response, 413, "That request is too large.");
        return std::nullopt;
    }
    json body = json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        refuse(response, 400, "The request body must be a JSON object.");
        return std::nullopt;
    }
    return body;
}

std::optional<std::string> stringAt(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
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

bool isAudioType(std::string type) {
    type = type.substr(0, type.find(';'));
    for (auto& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    while (!type.empty() && type.back() == ' ') type.pop_back();
    return type.rfind("audio/", 0) == 0 || type == "video/mp4" || type == "video/webm" ||
           type == "application/octet-stream";
}

std::string randomPassword() {
    static const char alphabet[] = "abcdefghjkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string password;
    for (int i = 0; i < 16; ++i) password += alphabet[randombytes_uniform(sizeof alphabet - 1)];
    return password;
}

// Runs a handler and turns any escaped exception into a 500 with a message.
template <typename Handler>
auto guarded(Handler handler) {
    return [handler](const httplib::Request& request, httplib::Response& response) {
        try {
            handler(request, response);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vell-service: %s %s failed: %s\n", request.method.c_str(), request.path.c_str(),
                         e.what());
            refuse(response, 500, defaultMessage(500));
        }
    };
}

// The database holds password and token hashes: only its owner may read it.
std::string databasePath(const std::filesystem::path& dataDir) {
    if (dataDir.empty()) return ":memory:";
    std::error_code error;
    if (std::filesystem::create_directories(dataDir, error))
        std::filesystem::permissions(dataDir, std::filesystem::perms::owner_all, error);
    auto path = dataDir / "vell-service.sqlite3";
    // Created here with mode 0600; SQLite gives its journal files the same mode.
    if (int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600); fd >= 0) ::close(fd);
    return path.string();
}

}  // namespace

Service::Service(Options options)
    : options_(std::move(options)),
      db_(databasePath(options_.dataDir)),
      accounts_(db_, options_.clock, options_.sessions),
      notes_(db_),
      recogniser_(options_.modelDir) {
    routes();
}

Service::~Service() { stop(); }

std::optional<Service::Credentials> Service::createFirstAccount(const std::string& email) {
    if (!accounts_.empty()) return std::nullopt;
    Credentials credentials{email, randomPassword()};
    accounts_.signUp(credentials.email, credentials.password);
    return credentials;
}

bool Service::bind() {
    if (options_.port == 0) {
        port_ = server_.bind_to_any_port(options_.host);
        return port_ > 0;
    }
    if (!server_.bind_to_port(options_.host, options_.port)) return false;
    port_ = options_.port;
    return true;
}

void Service::run() { server_.listen_after_bind(); }

void Service::start() {
    thread_ = std::thread([this] { run(); });
    // The socket already accepts connections; wait until stop() can end the loop.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Service::stop() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
}

std::optional<Accounts::Identity> Service::authorised(const httplib::Request& request, httplib::Response& response) {
    std::string header = request.get_header_value("Authorization");
    std::string token;
    if (header.size() > 7 && (header.compare(0, 7, "Bearer ") == 0 || header.compare(0, 7, "bearer ") == 0))
        token = header.substr(7);
    auto identity = accounts_.authenticate(token);
    if (!identity) {
        response.set_header("WWW-Authenticate", "Bearer");
        refuse(response, 401, token.empty() ? "Sign in to use Vell." : "Your session has expired. Sign in again.");
    }
    return identity;
}

void Service::routes() {
    server_.set_payload_max_length(options_.maxAudioBytes);
    server_.set_read_timeout(30, 0);
    server_.set_write_timeout(30, 0);

    if (options_.logRequests) {
        server_.set_logger([](const httplib::Request& request, const httplib::Response& response) {
            // The path only: no query, no headers, no body, so no token or password.
            // Streamed uploads leave the body empty; their declared length tells the size.
            std::size_t in = request.body.size();
            if (in == 0 && request.has_header("Content-Length"))
                in = std::strtoull(request.get_header_value("Content-Length").c_str(), nullptr, 10);
            std::fprintf(stderr, "vell-service: %s %s -> %d (%zu bytes in, %zu out)\n", request.method.c_str(),
                         request.path.c_str(), response.status, in, response.body.size());
        });
    }
    server_.set_error_handler([](const httplib::Request&, httplib::Response& response) {
        if (response.body.empty()) refuse(response, response.status, defaultMessage(response.status));
    });

    // The web application.
    server_.Get("/", [](const httplib::Request&, httplib::Response& response) { response.set_redirect("/app"); });
    auto serveAsset = [](std::string_view name, httplib::Response& response) {
        for (auto& asset : webAssets())
            if (asset.name == name) {
                response.set_content(std::string(asset.content), contentType(name).c_str());
                response.set_header("Cache-Control", "no-cache");
                response.set_header("X-Content-Type-Options", "nosniff");
                response.set_header("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
                return;
            }
        refuse(response, 404, "Not found.");
    };
    server_.Get("/app", [serveAsset](const httplib::Request&, httplib::Response& response) {
        serveAsset("index.html", response);
    });
    server_.Get(R"(/app/([A-Za-z0-9._-]+))",
                [serveAsset](const httplib::Request& request, httplib::Response& response) {
                    serveAsset(request.matches[1].str(), response);
                });

    // Accounts and sessions.
    auto sessionRoute = [this](auto start) {
        return guarded([this, start](const httplib::Request& request, httplib::Response& response) {
            auto body = objectBody(request, response, options_.maxJsonBytes);
            if (!body) return;
            try {
                auto session = start(*body);
                answer(response, 200, sessionJson(session, options_.clock()));
            } catch (const Accounts::Refused& refused) {
                refuse(response, 401, refused.what());
            }
        });
    };
    server_.Post("/api/v1/auth/signup", sessionRoute([this](const json& body) {
                     auto email = stringAt(body, "email"), password = stringAt(body, "password");
                     if (!email || !password) throw Accounts::Refused("Enter your e-mail address and a password.");
                     return accounts_.signUp(*email, *password);
                 }));
    server_.Post("/api/v1/auth/signin", sessionRoute([this](const json& body) {
                     auto email = stringAt(body, "email"), password = stringAt(body, "password");
                     if (!email || !password) throw Accounts::Refused("Enter your e-mail address and password.");
                     return accounts_.signIn(*email, *password);
                 }));
    server_.Post("/api/v1/auth/refresh", sessionRoute([this](const json& body) {
                     auto token = stringAt(body, "refresh_token");
                     if (!token) throw Accounts::Refused("Your session has ended. Sign in again.");
                     return accounts_.refresh(*token);
                 }));
    // A separate session for the desktop program, so the browser and the
    // desktop each rotate their own refresh token.
    server_.Post("/api/v1/auth/handoff", guarded([this](const httplib::Request& request, httplib::Response& response) {
                     auto identity = authorised(request, response);
                     if (!identity) return;
                     auto session = accounts_.startSession(identity->accountId);
                     answer(response, 200, sessionJson(session, options_.clock()));
                 }));
    server_.Post("/api/v1/auth/signout", guarded([this](const httplib::Request& request, httplib::Response& response) {
                     if (!authorised(request, response)) return;
                     accounts_.signOut(request.get_header_value("Authorization").substr(7));
                     answer(response, 200, json::object());
                 }));
    server_.Get("/api/v1/me", guarded([this](const httplib::Request& request, httplib::Response& response) {
                    auto identity = authorised(request, response);
                    if (!identity) return;
                    answer(response, 200,
                           {{"email", identity->email},
                            {"expires_at", identity->expiresAt},
                            {"expires_in", identity->expiresAt - options_.clock()}});
                }));

    // Notes.
    server_.Get("/api/v1/notes", guarded([this](const httplib::Request& request, httplib::Response& response) {
                    auto identity = authorised(request, response);
                    if (!identity) return;
                    json list = json::array();
                    for (auto& note : notes_.list(identity->accountId)) list.push_back(noteJson(note));
                    answer(response, 200, {{"notes", list}});
                }));
    auto noteFields = [](const json& body,
                         httplib::Response& response) -> std::optional<std::pair<std::string, std::string>> {
        auto title = stringAt(body, "title"), text = stringAt(body, "body");
        if ((body.contains("title") && !title) || (body.contains("body") && !text)) {
            refuse(response, 400, "A note's title and body must be text.");
            return std::nullopt;
        }
        if (title && title->size() > 500) {
            refuse(response, 400, "That title is too long.");
            return std::nullopt;
        }
        return std::pair{title.value_or(""), text.value_or("")};
    };
    server_.Post(
        "/api/v1/notes", guarded([this, noteFields](const httplib::Request& request, httplib::Response& response) {
            auto identity = authorised(request, response);
            if (!identity) return;
            auto body = objectBody(request, response, options_.maxJsonBytes);
            if (!body) return;
            auto fields = noteFields(*body, response);
            if (!fields) return;
            answer(response, 201,
                   noteJson(notes_.create(identity->accountId, fields->first, fields->second, options_.clock())));
        }));
    server_.Put(R"(/api/v1/notes/([A-Za-z0-9]+))",
                guarded([this, noteFields](const httplib::Request& request, httplib::Response& response) {
                    auto identity = authorised(request, response);
                    if (!identity) return;
                    auto body = objectBody(request, response, options_.maxJsonBytes);
                    if (!body) return;
                    auto fields = noteFields(*body, response);
                    if (!fields) return;
                    auto note = notes_.update(identity->accountId, request.matches[1].str(), fields->first,
                                              fields->second, options_.clock());
                    if (!note) return refuse(response, 404, "That note does not exist.");
                    answer(response, 200, noteJson(*note));
                }));
    server_.Delete(R"(/api/v1/notes/([A-Za-z0-9]+))",
                   guarded([this](const httplib::Request& request, httplib::Response& response) {
                       auto identity = authorised(request, response);
                       if (!identity) return;
                       if (!notes_.remove(identity->accountId, request.matches[1].str()))
                           return refuse(response, 404, "That note does not exist.");
                       answer(response, 200, json::object());
                   }));

    // The desktop program's two endpoints.
    server_.Post("/api/v1/dictate", [this](const httplib::Request& request, httplib::Response& response,
                                           const httplib::ContentReader& reader) {
        try {
            dictate(request, response, reader);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vell-service: dictation failed: %s\n", e.what());
            refuse(response, 500, "Speech recognition is not available right now.");
        }
    });
    server_.Post("/api/v1/fill", guarded([this](const httplib::Request& request, httplib::Response& response) {
                     fill(request, response);
                 }));
}

void Service::dictate(const httplib::Request& request, httplib::Response& response,
                      const httplib::ContentReader& reader) {
    // Refusals before the body is read close the connection, so the unread
    // upload is never taken for the next request.
    auto early = [&](int status, const std::string& message) {
        response.set_header("Connection", "close");
        refuse(response, status, message);
    };
    auto identity = authorised(request, response);
    if (!identity) return response.set_header("Connection", "close");
    if (!isAudioType(request.get_header_value("Content-Type")))
        return early(415, "Send the recording as audio, for example audio/m4a.");
    if (request.has_header("Content-Length") &&
        std::strtoull(request.get_header_value("Content-Length").c_str(), nullptr, 10) > options_.maxAudioBytes)
        return early(413, "That recording is too long for a dictation.");

    std::string audio;
    bool tooLarge = false;
    bool complete = reader([&](const char* data, std::size_t length) {
        if (audio.size() + length > options_.maxAudioBytes) {
            tooLarge = true;
            return false;
        }
        audio.append(data, length);
        return true;
    });
    if (tooLarge || response.status == 413) return early(413, "That recording is too long for a dictation.");
    if (!complete) return early(400, "The recording did not arrive whole.");

    std::vector<std::int16_t> samples;
    try {
        samples = AudioDecoder::decode(audio, options_.maxAudioSeconds);
    } catch (const AudioDecoder::TooLong&) {
        return refuse(response, 413, "That recording is too long for a dictation.");
    } catch (const AudioDecoder::Unreadable&) {
        return refuse(response, 400, "This recording could not be read as audio.");
    }
    answer(response, 200, {{"text", recogniser_.recognise(samples)}});
}

void Service::fill(const httplib::Request& request, httplib::Response& response) {
    auto identity = authorised(request, response);
    if (!identity) return;
    auto body = objectBody(request, response, options_.maxJsonBytes);
    if (!body) return;

    auto fieldsIt = body->find("fields");
    if (fieldsIt == body->end() || !fieldsIt->is_array())
        return refuse(response, 400, "The request needs a list of \"fields\".");
    if (fieldsIt->size() > 1000) return refuse(response, 413, "That form has too many fields.");
    std::vector<FieldMapper::Field> fields;
    for (auto& item : *fieldsIt) {
        if (!item.is_object()) return refuse(response, 400, "Each field must be an object.");
        auto id = stringAt(item, "id");
        if (!id) return refuse(response, 400, "Each field needs an \"id\".");
        FieldMapper::Field field{*id, "text", {}, {}, {}};
        for (auto [key, target] : {std::pair{"type", &field.type},
                                   {"label", &field.label},
                                   {"placeholder", &field.placeholder},
                                   {"near", &field.near}}) {
            if (!item.contains(key)) continue;
            auto value = stringAt(item, key);
            if (!value) return refuse(response, 400, std::string("A field's \"") + key + "\" must be text.");
            *target = *value;
        }
        fields.push_back(std::move(field));
    }

    std::string source;
    if (auto transcript = stringAt(*body, "transcript")) {
        source = *transcript;
    } else if (auto noteId = stringAt(*body, "noteId")) {
        auto note = notes_.find(identity->accountId, *noteId);
        if (!note) return refuse(response, 404, "That note does not exist.");
        source = note->body;
    } else {
        return refuse(response, 400, "Say what to fill in: a \"transcript\" or a \"noteId\".");
    }

    auto mapping = mapper_.map(source, fields);
    answer(response, 200, {{"values", mapping.values}, {"unfilled", mapping.unfilled}});
}

}  // namespace vell::service
