#include "interpreter/options.h"
#include "system/thread_pool.h"

#include <cstring>

bool parseOptions(int argc, char** argv, ProgramOptions& options, std::string& problem) {
    int i = 1;
    bool anyOption = false;
    for (; i < argc; ++i) {
        if (std::strcmp(argv[i], "--strict") == 0)
            options.strict = true;
        else if (std::strcmp(argv[i], "--quiet") == 0)
            options.quiet = true;
        else if (std::strcmp(argv[i], "--threads") == 0 || std::strncmp(argv[i], "--threads=", 10) == 0) {
            // The count is the next word, or follows the equals sign.
            const char* count = argv[i][9] == '=' ? argv[i] + 10 : (i + 1 < argc ? argv[++i] : nullptr);
            options.threads = parseThreadCount(count);
            if (!options.threads) {
                problem = "--threads takes a whole number of threads from 1 to 256";
                return false;
            }
        } else
            break;
        anyOption = true;
    }
    if (i == argc)
        return true; // the script from standard input
    const char* script = argv[i++];
    for (; i < argc; ++i)
        options.parameters.emplace_back(argv[i]);
    if (options.parameters.size() > maxParameters) {
        problem = "Chromaloom takes at most 9 arguments after the script ($1 to $9)";
        return false;
    }
    options.substitute = !options.parameters.empty();
    // Alone, "-" is a file of that name, as it always was; with options or arguments it is standard input.
    options.fromStandardInput = std::strcmp(script, "-") == 0 && (anyOption || options.substitute);
    if (!options.fromStandardInput)
        options.script = script;
    return true;
}
