// The texts shipped with the program: resources/dictionary.ini (UTF-8, in the
// sectioned key=value form of IniFile), compiled in at build time so that an
// installed program can store them without its source tree.
#pragma once

#include <string_view>

namespace localisation {

std::string_view ShippedDictionaryText();

}  // namespace localisation
