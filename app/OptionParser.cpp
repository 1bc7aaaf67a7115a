// OptionParser: table-driven command-line option matching (see OptionParser.h).
#include "app/OptionParser.h"

#include <cstring>

namespace {

size_t leadingHyphens(const char* text)
{
    size_t n = 0;
    while (text[n] == '-')
        ++n;
    return n;
}

} // namespace

OptionParser::OptionParser(int argc, char** argv, const OptionRow* rows, size_t rowCount)
    : argc(argc), argv(argv), rows(rows), rowCount(rowCount)
{
}

const OptionRow* OptionParser::Match(const std::string& name) const
{
    for (size_t i = 0; i < rowCount; ++i)
        if (name == rows[i].text)
            return &rows[i];

    // Not exact: a unique prefix of one option's name, same hyphens in front.
    size_t hyphens = leadingHyphens(name.c_str());
    std::string body = name.substr(hyphens);
    if (body.empty())
        return nullptr;
    const OptionRow* found = nullptr;
    for (size_t i = 0; i < rowCount; ++i) {
        const char* text = rows[i].text;
        size_t rowHyphens = leadingHyphens(text);
        if (rowHyphens != hyphens || strncmp(text + rowHyphens, body.c_str(), body.size()) != 0)
            continue;
        if (found != nullptr)
            return nullptr; // ambiguous
        found = &rows[i];
    }
    return found;
}

bool OptionParser::Next()
{
    current = nullptr;
    argument = nullptr;
    while (nextWord < argc) {
        const char* word = argv[nextWord++];
        if (word == nullptr || word[0] != '-')
            continue; // not an option

        std::string text(word);
        size_t equals = text.find('=');
        const OptionRow* row = Match(equals == std::string::npos ? text : text.substr(0, equals));
        if (row == nullptr) {
            rejected.push_back(text);
            continue;
        }
        if (row->takesArg) {
            if (equals != std::string::npos) {
                inlineArgument = text.substr(equals + 1);
                argument = inlineArgument.c_str();
            } else if (nextWord < argc && argv[nextWord] != nullptr && argv[nextWord][0] != '-') {
                argument = argv[nextWord++];
            } else {
                rejected.push_back(text); // missing argument
                continue;
            }
        } else if (equals != std::string::npos) {
            rejected.push_back(text); // a value on an option that takes none
            continue;
        }
        current = row;
        return true;
    }
    return false;
}
