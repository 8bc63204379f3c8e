#pragma once
// Occupied: a section in which a runtime thread runs code that may take any time (Python, or a
// blocking wait), so its io_context must not count on it meanwhile (see context_drivers.h).

namespace quorvelin::runtime {

class ContextDrivers;

// Marks the calling thread occupied while it lives, when the thread drives a context of the
// runtime (a worker, or a stand-in); does nothing on any other thread, nor in a child created
// by fork(), which has none of the runtime's threads (a fork made inside a section leaves the
// child's copy of it alone too). Nests: only the outermost one of a thread counts, and an
// inner one that surely blocks still brings a stand-in at once.
class Occupied {
public:
    enum class Blocks { Maybe, Surely };

    explicit Occupied(Blocks blocks);
    ~Occupied();
    Occupied(const Occupied&) = delete;
    Occupied& operator=(const Occupied&) = delete;

private:
    ContextDrivers* drivers_ = nullptr;  // set on the outermost section of a driver
};

}  // namespace quorvelin::runtime
