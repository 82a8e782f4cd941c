#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "dialog_template.h"

// The rows of a dialog template as the in-memory extended dialog template (DLGTEMPLATEEX and
// its DLGITEMTEMPLATEEX items) that the system builds a dialog from, in the given font; a shell
// may give some controls styles of its own on top of their kind's (by control id).
std::vector<std::uint8_t> BuildDialogTemplate(const DialogTemplate& dialogTemplate,
                                              const std::wstring& fontFace, int pointSize,
                                              const std::map<int, DWORD>& extraStyles = {});

// The dialog font: the first of the faces with Chinese glyphs that is installed, else the
// system's dialog font.
std::wstring DialogFontFace();
