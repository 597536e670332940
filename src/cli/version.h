// The program's version and the platform it was built for.
#pragma once

namespace keymend {

// Prints "keymend <version> (<system> <processor>)" and a line feed, e.g.
// "keymend 1.0.0 (Linux x86_64)" or "keymend 1.0.0 (Windows x86)": the version the build
// declares and the target the compiler built for (not the machine it runs on).
void PrintVersion();

}  // namespace keymend
