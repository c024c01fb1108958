#pragma once
// The program's string tables (res/strings.xml, lang/<lang>/strings.xml)
// read straight from the source tree, for the comm tests that check texts
// without the resource modules (no Qt below ui/).

#include <filesystem>

#include "comm/ConnectionDiagnosis.h"

namespace commtest {

// The table's strings by id (the five XML entities and numeric references
// decoded); the loader answers empty for an id the table lacks. An
// unreadable file yields an empty table.
DiagnosisStrings LoadStringTableFile(const std::filesystem::path& file);

// res/strings.xml and lang/ja/strings.xml of this source tree.
const DiagnosisStrings& EnglishStrings();
const DiagnosisStrings& JapaneseStrings();

} // namespace commtest
