// Start-up of the UDT library: its garbage collector and timer threads start once per process.
#pragma once

namespace kl {

// Starts UDT the first time it is called; later calls (from any thread) do nothing. UDT is never
// cleaned up: its sockets may be closed by its own threads until the process ends.
void udtStartup();

}  // namespace kl
