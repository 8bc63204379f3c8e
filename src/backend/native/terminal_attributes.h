#pragma once
// Terminal attributes through TCGETS2/TCSETS2, the interface that carries arbitrary baud
// rates. Includes the kernel's termbits: do not mix with <termios.h> in one file.

#include <asm/termbits.h>

#include <cstdint>

namespace quorvelin::native {

class Syscalls;

using TerminalAttributes = termios2;

// Each returns 0, or the error number of the failed request. EINTR is retried.
int get_attributes(Syscalls& syscalls, int fd, TerminalAttributes& attributes);
// Takes effect at once (the TCSANOW form).
int set_attributes(Syscalls& syscalls, int fd, const TerminalAttributes& attributes);

// Sets the rate for both directions through BOTHER, whatever the rate.
void set_speed(TerminalAttributes& attributes, std::uint32_t baudrate);

}  // namespace quorvelin::native
