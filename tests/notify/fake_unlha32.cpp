// A stand-in archiver library for the failures the real one never gives:
// a failure without a message, a message padded with blanks, and a message
// cut by the buffer inside a character.
#include <cstring>
#include <string>

extern "C" {

__attribute__((visibility("default"))) int UnlhaGetVersion(void) {
    return 100;
}

__attribute__((visibility("default"))) int Unlha(void*, const char* commandLine, char* output,
                                                 unsigned long size) {
    std::string line = commandLine;
    std::string message;
    if (line.find("blank") != std::string::npos)
        message = "  圧縮できません  ";
    else if (line.find("long") != std::string::npos)
        for (int i = 0; i < 200; ++i)
            message += "あ"; // 600 bytes, cut at 255: inside a character
    else if (line.find("empty") == std::string::npos)
        return 0;
    std::strncpy(output, message.c_str(), size - 1);
    output[size - 1] = '\0';
    return 7;
}
}
