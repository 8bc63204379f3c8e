#include "future/native_hook.h"

#include <mutex>

#include "future/shared.h"

namespace quorvelin::future {

void add_native_hook(Shared& shared, std::unique_ptr<NativeHook> hook) {
    {
        std::lock_guard lock(shared.mutex);
        if (!shared.state.result) {
            shared.state.hooks.push_back(std::move(hook));
            return;
        }
    }
    // Complete already: the completion took the hooks before this one came, so it runs here.
    hook->run();
}

}  // namespace quorvelin::future
