// The program's arguments as UTF-8. argv arrives in the ANSI code page, where a name such as
// "Österreich" from a UTF-8 settings file cannot be spelled (or matched); the system's own
// command line is UTF-16 and holds every argument whole.
#pragma once

#include <string>
#include <vector>

namespace countryset {

class Utf8Arguments {
public:
    // Points argc and argv at the UTF-8 arguments, which live as long as this object; leaves
    // them as they are when the command line cannot be read.
    Utf8Arguments(int& argc, char**& argv);
    Utf8Arguments(const Utf8Arguments&) = delete;
    Utf8Arguments& operator=(const Utf8Arguments&) = delete;

private:
    std::vector<std::string> m_texts;
    std::vector<char*> m_pointers;
};

}  // namespace countryset
