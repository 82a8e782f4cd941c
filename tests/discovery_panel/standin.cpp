#include "standin.h"

#include <dlfcn.h>

#include <QtEndian>
#include <filesystem>
#include <string>

namespace {

template <class Fn>
Fn Find(void* handle, const char* name) {
    return handle ? reinterpret_cast<Fn>(dlsym(handle, name)) : nullptr;
}

}  // namespace

Standin::Standin(const char* baseName) {
    // Kept open for the whole run, as the panel keeps it.
    // By path beside the test, where the panel finds it too (a loader interposed by the
    // sanitizers does not see the executable's run path).
    const std::string path = std::filesystem::read_symlink("/proc/self/exe").parent_path() /
                             ("lib" + std::string(baseName) + ".so");
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    m_script = Find<StandinScriptFn>(handle, "Standin_Script");
    m_calls = Find<StandinCallsFn>(handle, "Standin_Calls");
    m_resetCalls = Find<StandinResetCallsFn>(handle, "Standin_ResetCalls");
}

void Standin::Script(int searchResult, const std::vector<StandinModule>& modules) const {
    m_script(searchResult, modules.data(), static_cast<int>(modules.size()));
    ResetCalls();
}

void Standin::Script(const std::vector<StandinModule>& modules) const {
    Script(static_cast<int>(modules.size()), modules);
}

QStringList Standin::Calls() const {
    return QString::fromLatin1(m_calls()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void Standin::ResetCalls() const {
    m_resetCalls();
}

int NetworkOrder(quint16 port) {
    return qToBigEndian(port);
}
