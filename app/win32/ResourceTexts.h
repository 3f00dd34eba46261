// The texts of the Windows program come from its own string table (generated from texts.def), in
// the language that GetUserDefaultUILanguage names at the moment of each call.
#pragma once

#include <windows.h>

#include <string>

namespace zevrin::win32 {

// The string with this id among `module`'s string resources, as UTF-8; empty when there is none.
std::string ResourceString(HINSTANCE module, int id);

// Makes LoadLocalizedText and LoadExtraText read `module`'s string table.
void InstallResourceTexts(HINSTANCE module);

}  // namespace zevrin::win32
