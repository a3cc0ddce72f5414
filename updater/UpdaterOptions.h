#pragma once

#include <map>
#include <string>

// The updater's command line as name/value pairs: "--qa", "--no-restart" and "--portable" are
// switches, every other element is a name followed by its value; a later value replaces an earlier one.
class UpdaterOptions
{
public:
    // False when a name stands last without its value.
    bool parse(int argc, const char *const *argv);

    std::string value(const std::string &name) const;
    bool has(const std::string &name) const { return m_values.count(name) != 0; }

private:
    std::map<std::string, std::string> m_values;
};
