#pragma once

#include <QString>
#include <QStringList>
#include <ostream>
#include <vector>

#include "standin_library.h"

// The test's side of a stand-in search library: the same library object the panel loads by
// the same name, reached through its Standin_* functions.
class Standin {
  public:
    explicit Standin(const char* baseName);
    bool Loaded() const { return m_script != nullptr; }
    void Script(int searchResult, const std::vector<StandinModule>& modules) const;
    void Script(const std::vector<StandinModule>& modules) const;
    // The calls since the last reset, e.g. {"StartSearchDev", "GetIP 1"}.
    QStringList Calls() const;
    void ResetCalls() const;

  private:
    StandinScriptFn m_script = nullptr;
    StandinCallsFn m_calls = nullptr;
    StandinResetCallsFn m_resetCalls = nullptr;
};

// A port as the library hands it over: network byte order in the low 16 bits.
int NetworkOrder(quint16 port);

// Readable QString values in test failures.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
