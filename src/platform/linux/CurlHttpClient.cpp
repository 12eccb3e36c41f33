#include "platform/linux/CurlHttpClient.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>

namespace vell::platform {
namespace {

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

size_t appendBody(char* data, size_t size, size_t count, void* target) {
    static_cast<std::string*>(target)->append(data, size * count);
    return size * count;
}

// curl's own low-speed check averages over several seconds, so a request that
// uploaded a body and then waits on a silent server would run well past its
// time-out. This watch aborts once no byte has moved for the whole period.
struct IdleWatch {
    using Clock = std::chrono::steady_clock;
    Clock::duration limit;
    Clock::time_point lastMove = Clock::now();
    curl_off_t down = 0;
    curl_off_t up = 0;
};

int abortWhenIdle(void* target, curl_off_t, curl_off_t downNow, curl_off_t, curl_off_t upNow) {
    auto& watch = *static_cast<IdleWatch*>(target);
    const auto now = IdleWatch::Clock::now();
    if (downNow != watch.down || upNow != watch.up) {
        watch.down = downNow;
        watch.up = upNow;
        watch.lastMove = now;
        return 0;
    }
    return now - watch.lastMove >= watch.limit ? 1 : 0;
}

}  // namespace

CurlHttpClient::CurlHttpClient() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

HttpClient::Response CurlHttpClient::send(const Request& request) {
    std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
    if (!curl) throw TransportError("could not create an HTTP request");

    curl_slist* raw = nullptr;
    for (const auto& [name, value] : request.headers) raw = curl_slist_append(raw, (name + ": " + value).c_str());
    // Only our headers: drop the ones curl would add by itself.
    raw = curl_slist_append(raw, "Accept:");
    raw = curl_slist_append(raw, "Expect:");
    std::unique_ptr<curl_slist, SlistDeleter> headers(raw);

    Response response;
    CURL* h = curl.get();
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    // A token never leaves over file:, ftp: or any other scheme curl knows.
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    if (request.method != "GET") {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    }
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_USERAGENT, nullptr);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &response.body);
    // Idle time-out: give up when fewer than 1 byte/s moved for the whole period.
    const long idle = request.timeoutSeconds < 1 ? 1L : static_cast<long>(request.timeoutSeconds);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.timeoutSeconds * 1000));
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, idle);
    IdleWatch watch{
        std::chrono::duration_cast<IdleWatch::Clock::duration>(std::chrono::duration<double>(request.timeoutSeconds))};
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, abortWhenIdle);
    curl_easy_setopt(h, CURLOPT_XFERINFODATA, &watch);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);

    const CURLcode code = curl_easy_perform(h);
    if (code == CURLE_ABORTED_BY_CALLBACK) throw TransportError("the connection was idle for too long");
    if (code != CURLE_OK) throw TransportError(curl_easy_strerror(code));
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    response.status = static_cast<int>(status);
    return response;
}

}  // namespace vell::platform
