#pragma once

#include "image/image.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

class ScriptContext;

// The words of one script line, verb first. They point into the runner's line buffer and are valid only
// while the line's command runs.
using ArgList = std::vector<const char*>;

// What a verb takes after its word, declared once in its constructor. The runner resolves the words of a
// line against the declarations in order, printing the messages of the first argument it refuses, so that
// a verb's execute sees only values it accepts and does only its own work. --help lists the arguments
// from the same declarations.

// How an image variable is looked up. The ways differ only in what a bad name or an empty variable prints,
// and which one a verb uses is part of its output.
enum class Lookup {
    Fetch,     // a bad name prints the name message, "variable access out of bounds", then the verb's own
               // message for a missing image; an empty variable prints that message alone
    NameFirst, // a bad name prints only the name message; an empty variable the verb's message
    Name,      // a destination: only the name is checked, and the variable may be empty
};

struct Argument {
    enum class Kind {
        Image,   // an image variable
        Integer, // a whole number, converted as the C library does, within [low, high]
        Amount,  // a real number rounded to single precision, within the range given
        Channel, // a colour value: a whole number's low 8 bits
        Word,    // one fixed word (composite's "over")
        Text,    // any word, as written (a file name)
    };

    Kind kind = Kind::Text;
    const char* usage = "";   // the argument as --help shows it: "v", "width", "3|5", "0<a<1"
    const char* refusal = ""; // the message of a refused value or of a missing image
    int failure = 1;          // the verb's result when the argument is refused
    Lookup lookup = Lookup::Fetch;
    bool plainRefusal = false; // the refusal is printed without "Error (line N): " (info's "No Image")
    std::int64_t low = 0;      // Integer: the smallest and largest accepted
    std::int64_t high = 0;
    std::vector<int> allowed; // Integer: when not empty, the only values accepted
    double lowest = 0;        // Amount: the bounds, each included or not
    double highest = 0;
    bool lowestIncluded = false;
    bool highestIncluded = false;
    const char* word = ""; // Word: the word accepted
};

// The declarations, one function each.
namespace arg {

// An image variable that must hold an image; `missing` is printed when it does not.
Argument image(const char* usage, Lookup lookup, const char* missing, int failure = 1);
// A variable a verb stores its result in: only its name is checked.
Argument destination(const char* usage, int failure = 1);
// A whole number of any value.
Argument integer(const char* usage);
// A whole number from low to high, both included; `refusal` for any other.
Argument integerIn(const char* usage, std::int64_t low, std::int64_t high, const char* refusal,
                   int failure = 1);
// A whole number that is one of `allowed`.
Argument integerOf(const char* usage, std::initializer_list<int> allowed, const char* refusal);
// An amount between lowest and highest, each bound included or not.
Argument amount(const char* usage, double lowest, bool lowestIncluded, double highest, bool highestIncluded,
                const char* refusal);
// A colour value.
Argument channel(const char* usage);
// The one word `word`; `refusal` for any other.
Argument word(const char* word, const char* refusal);
// Any word, as written (a file name).
Argument text(const char* usage);

} // namespace arg

// The values of a line's words once they are accepted, by position after the verb (0 is the first).
class Arguments {
public:
    struct Value {
        int index = -1;          // Image: the variable's slot
        Image* image = nullptr;  // Image: its image (null for a destination that is empty)
        std::int64_t number = 0; // Integer and Channel
        double amount = 0;       // Amount
        const char* text = "";   // every kind: the word as written
    };

    int index(std::size_t i) const { return values[i].index; }
    Image& image(std::size_t i) const { return *values[i].image; }
    int integer(std::size_t i) const { return static_cast<int>(values[i].number); }
    double amount(std::size_t i) const { return values[i].amount; }
    std::uint8_t channel(std::size_t i) const { return static_cast<std::uint8_t>(values[i].number); }
    const char* text(std::size_t i) const { return values[i].text; }

    std::vector<Value> values;
};

// Resolves the words after the verb against the declarations, in order. Returns true with every value
// in `out`; or false once an argument is refused, its messages printed and `failure` set to the verb's
// result for it.
bool resolveArguments(const std::vector<Argument>& declared, const ArgList& words, ScriptContext& ctx,
                      Arguments& out, int& failure);
