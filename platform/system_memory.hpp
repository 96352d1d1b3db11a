#pragma once
// How much memory the machine has, for the readers' refusal of inputs that could never fit.
namespace drevik {

// The machine's physical memory in bytes; infinite when the system does not say.
double physicalMemoryBytes();

} // namespace drevik
