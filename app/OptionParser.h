// OptionParser: walks a command line against an option table and yields the
// options it accepts, one at a time. Matching is case-sensitive; a word that
// is a prefix of exactly one option text (with the same leading hyphens)
// selects it; an option that needs an argument takes the text after "=" in
// the same word or else the next word, unless that word begins with "-".
// Words it cannot accept (unknown or ambiguous options, a missing argument,
// "=value" on an option without argument) and words that are not options
// are skipped silently. Used by _get_params.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct OptionRow {
    int id;
    const char* text; // with its leading hyphens, as typed: "-d", "--help"
    bool takesArg;
};

class OptionParser {
  public:
    OptionParser(int argc, char** argv, const OptionRow* rows, size_t rowCount);

    // Moves to the next accepted option; false when the words are used up.
    bool Next();

    int OptionId() const { return current ? current->id : -1; }
    // The option's table text (not the word as typed, which may be a prefix).
    const char* OptionText() const { return current ? current->text : ""; }
    // The argument, or null for an option without one.
    const char* OptionArg() const { return argument; }
    // The words skipped so far because they could not be accepted as options.
    const std::vector<std::string>& Rejected() const { return rejected; }

  private:
    const OptionRow* Match(const std::string& name) const;

    int argc;
    char** argv;
    const OptionRow* rows;
    size_t rowCount;
    int nextWord = 1;
    const OptionRow* current = nullptr;
    const char* argument = nullptr;
    std::string inlineArgument;
    std::vector<std::string> rejected;
};
