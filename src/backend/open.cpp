#include <cstring>

#include "backend/backend.h"
#include "backend/loopback/loopback_port.h"
#include "backend/native/native_port.h"

namespace quorvelin::backend {

bool is_loopback_url(std::string_view name) {
    static constexpr std::string_view prefix = "loop://";
    if (name.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != prefix[i]) {
            return false;
        }
    }
    return true;
}

Result<std::unique_ptr<Backend>> open(std::string_view name, const PortSettings& settings, bool rts, bool dtr) {
    if (is_loopback_url(name)) {
        return std::unique_ptr<Backend>(std::make_unique<LoopbackPort>(rts, dtr));
    }
    return native::open(name, settings, rts, dtr);
}

}  // namespace quorvelin::backend
