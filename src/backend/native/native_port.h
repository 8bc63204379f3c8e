#pragma once
// The terminal-device kind of Backend.

#include <memory>
#include <string_view>

#include "backend/backend.h"

namespace quorvelin::native {

Result<std::unique_ptr<Backend>> open(std::string_view name, const PortSettings& settings, bool rts, bool dtr);

}  // namespace quorvelin::native
