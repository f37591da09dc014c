// Build-time tool: turns the readable forms of the crash reporter's
// resources (resources/crashreport/*.dfm) into the binary component streams
// the reporter reads, and its pictures (*.bmp) into bitmap resources (the
// bitmap without the file's own 14-byte header, as a resource holds it),
// as a source file that registers them at start-up.
//
//   zel_resgen OUTPUT.cpp TYPE:NAME=FILE...
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "crashreport/settings/component_stream.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: zel_resgen OUTPUT.cpp TYPE:NAME=FILE...\n");
        return 2;
    }
    std::ostringstream out;
    out << "// Made by zel_resgen from resources/crashreport; edit those files instead.\n"
           "#include <string>\n\n#include \"crashreport/os/system_facts.h\"\n\n"
           "namespace crashreport {\n\nvoid RegisterCrashReporterResources() {\n";
    for (int i = 2; i < argc; ++i) {
        const std::string argument = argv[i];
        const std::size_t colon = argument.find(':'), eq = argument.find('=');
        if (colon == std::string::npos || eq == std::string::npos || eq < colon) {
            std::fprintf(stderr, "zel_resgen: bad argument %s\n", argument.c_str());
            return 2;
        }
        const std::string type = argument.substr(0, colon), name = argument.substr(colon + 1, eq - colon - 1),
                          file = argument.substr(eq + 1);
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "zel_resgen: cannot read %s\n", file.c_str());
            return 1;
        }
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string stream;
        if (type == "BITMAP") {
            constexpr std::size_t kFileHeader = 14;
            if (text.size() <= kFileHeader || text.compare(0, 2, "BM") != 0) {
                std::fprintf(stderr, "%s: not a BMP file\n", file.c_str());
                return 1;
            }
            stream = text.substr(kFileHeader);
        } else {
            std::string error;
            const auto root = crashreport::ParseStreamText(text, error);
            if (!root) {
                std::fprintf(stderr, "%s: %s\n", file.c_str(), error.c_str());
                return 1;
            }
            stream = crashreport::WriteComponentStream(*root);
        }
        out << "    {\n        static const unsigned char data[] = {";
        for (std::size_t b = 0; b < stream.size(); ++b)
            out << (b % 16 == 0 ? "\n            " : " ") << static_cast<unsigned>(static_cast<unsigned char>(stream[b]))
                << ",";
        out << "\n        };\n        RegisterResource(\"" << type << "\", \"" << name
            << "\", std::string(reinterpret_cast<const char*>(data), sizeof data));\n    }\n";
    }
    out << "}\n\n}  // namespace crashreport\n";
    std::ofstream result(argv[1], std::ios::binary | std::ios::trunc);
    result << out.str();
    return result ? 0 : 1;
}
