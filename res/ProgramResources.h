#pragma once
// The program's own resources: the English bundle compiled into the program.

#include <cstddef>

// The bundle's bytes; they live as long as the process.
const unsigned char* ProgramResourceBundle(std::size_t* size);

// Makes the bundle the framework's instance module (CResourceLookup). Returns
// false only when the bundle is damaged, which a build never produces.
bool InstallProgramResources();
