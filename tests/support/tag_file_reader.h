// An independent reader of the tag files that the plug-in writes, strict
// about everything the plug-in promises: an ID3v2.3.0 header without flags
// whose synchsafe size is the rest of the file, then exactly the frames
// TPE1, TIT2, TALB and an empty TRCK, each without flags, with text encoding
// 0, its text and one NUL, and nothing after them.
#pragma once

#include <string>

namespace testing_support {

struct TagFileTexts {
    bool valid = false;
    std::string why;   // what broke the rules, when not valid
    std::string artist, title, album;
};

TagFileTexts ReadTagFile(const std::string& bytes);

// Equal when both are valid with the same texts (or both are invalid).
bool operator==(const TagFileTexts& a, const TagFileTexts& b);
// For failure messages.
std::ostream& operator<<(std::ostream& out, const TagFileTexts& texts);

// Valid texts, for comparing with what ReadTagFile read.
TagFileTexts Texts(const std::string& artist, const std::string& title,
                   const std::string& album);

} // namespace testing_support
