#pragma once
// Client of the service's field-mapping endpoint, POST apiBase + "/api/v1/fill".

#include <map>
#include <string>
#include <vector>

#include "fill/FillEngine.h"
#include "platform/Error.h"
#include "platform/Task.h"

namespace vell::session {
class Session;
}

namespace vell::fill {

class FillService {
public:
    struct Mapping {
        std::map<std::string, std::string> values;  // field id → value
        std::vector<std::string> unfilled;
    };

    class FillError : public Error {
    public:
        explicit FillError(const std::string& message) : Error(message) {}
    };

    // `apiBase` is the service's base address; paths are appended as text.
    FillService(session::Session& session, std::string apiBase);
    virtual ~FillService() = default;

    // Sends the source ({"transcript": …} or {"noteId": …}) with the fields'
    // descriptions; throws SessionError, FillError or a transport Error.
    virtual Task<Mapping> send(std::map<std::string, std::string> source, std::vector<FillEngine::Field> fields);

protected:
    FillService() = default;  // for test doubles that replace every operation

private:
    session::Session* session_ = nullptr;
    std::string apiBase_;
};

}  // namespace vell::fill
