#include "misc.h"

// Placeholder until the stream report lands.
void WriteLogFile() {}
