#include "updater/UpdaterOptions.h"

bool UpdaterOptions::parse(int argc, const char *const *argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--qa" || name == "--no-restart" || name == "--portable") {
            m_values[name] = "1";
            continue;
        }
        if (i + 1 >= argc)
            return false;
        m_values[name] = argv[++i];
    }
    return true;
}

std::string UpdaterOptions::value(const std::string &name) const
{
    const auto found = m_values.find(name);
    return found == m_values.end() ? std::string() : found->second;
}
