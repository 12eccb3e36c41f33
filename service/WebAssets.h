#pragma once
// The files of the web application, compiled into the service.

#include <string_view>
#include <vector>

namespace vell::service {

struct WebAsset {
    std::string_view name;  // file name, e.g. "app.js"
    std::string_view content;
};

const std::vector<WebAsset>& webAssets();

}  // namespace vell::service
