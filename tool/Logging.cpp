#include "Logging.h"

Logging::Logging(std::FILE*, const char*, int, int, int) {}

int Logging::write(int, const char*, const char*, const char*, ...) { return 0; }

Logging toolLog(stdout, "log.txt", 5, 0, 0);
