// Stream report (".log").
#pragma once

void WriteLogFile();
