#pragma once

#include "formats/image_file.h"
#include "interpreter/script_context.h"

// What read and thumbnail say of a file they load: the reason it could not be loaded (in strict mode
// naming the file and the system's reason), or the notes of one loaded. Returns the verb's status: 2 when
// the file could not be loaded, 0 otherwise.
int reportLoad(const LoadResult& loaded, const char* file, ScriptContext& ctx);
