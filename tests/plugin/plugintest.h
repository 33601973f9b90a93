// Helpers of the plugin tests: streams made with the encoders and indexed by
// Ostrel, index files written by hand, and small edits of index files.
#pragma once

#include <string>
#include <vector>

namespace pt {

// Encodes a test pattern of `frames` frames; false (and a failed test) when
// the encoder fails. extra goes before the output name.
bool MakeH264(const std::string& path, int frames, const std::string& extra = "");
bool MakeHevc(const std::string& path, int frames, const std::string& extra = "");
bool MakeMpeg2(const std::string& path, int frames, const std::string& extra = "");

// Runs Ostrel on the input(s) and returns the index path ("" and a failed
// test when it did not write one).
std::string Index(const std::string& input, const std::string& kwi);

// Index file text: the head lines of an index with the given magic line and
// input files (name and size), ready for the keyword lines to be appended.
std::string Head(const std::string& magic_line, const std::vector<std::string>& files);
void WriteText(const std::string& path, const std::string& text);

// Replaces the first line that begins with `begins` (all of them when all is
// set); returns how many lines were replaced.
int ReplaceLines(const std::string& path, const std::string& begins, const std::string& with,
                 bool all = false);
// Removes the lines that begin with `begins`.
int RemoveLines(const std::string& path, const std::string& begins);

}  // namespace pt
