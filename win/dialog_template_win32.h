#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "dialog_template.h"

// The rows of a dialog template as the in-memory extended dialog template (DLGTEMPLATEEX and
// its DLGITEMTEMPLATEEX items) that the system builds a dialog from, in the given font.
std::vector<std::uint8_t> BuildDialogTemplate(const DialogTemplate& dialogTemplate,
                                              const std::wstring& fontFace, int pointSize);

// The dialog font: the first of the faces with Chinese glyphs that is installed, else the
// system's dialog font.
std::wstring DialogFontFace();
