#pragma once
// What the fill flows need of the service: which value goes into which field,
// given what the person said or a note.

#include <map>
#include <string>
#include <vector>

#include "fill/FormAccess.h"
#include "platform/Task.h"

namespace vell::fill {

class FieldMapping {
public:
    struct Mapping {
        std::map<std::string, std::string> values;  // field id → value
        std::vector<std::string> unfilled;
    };

    virtual ~FieldMapping() = default;

    // Sends the source ({"transcript": …} or {"noteId": …}) with the fields'
    // descriptions; throws a vell::Error whose text the person sees.
    virtual Task<Mapping> send(std::map<std::string, std::string> source, std::vector<FormAccess::Field> fields) = 0;
};

}  // namespace vell::fill
