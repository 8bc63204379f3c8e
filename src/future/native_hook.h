#pragma once
// NativeHook: native code told of a completion on the completing thread, attached, without
// what a Python done callback costs there (a callable made for every operation, context.run,
// calls by name). The future itself copies no context for a hook; a hook whose work must run
// in one copies it at registration and enters it itself, as the transport's does (one copy per
// operation, as a done callback would make). The transport hands its completions to its loop
// this way.

#include <memory>

namespace quorvelin::future {

class Shared;

class NativeHook {
public:
    virtual ~NativeHook() = default;
    // Runs once, attached, on the thread that completes: a runtime worker, the thread that
    // cancels, or the registering thread when the completion came first. It reports its own
    // failures, leaves no exception set and throws nothing. Released attached afterwards.
    virtual void run() noexcept = 0;
};

// Registers `hook` on `shared`: kept while pending and run by future::complete after the
// asyncio waiters and the done callbacks, or run here and now when `shared` is complete
// already. Call attached.
void add_native_hook(Shared& shared, std::unique_ptr<NativeHook> hook);

}  // namespace quorvelin::future
