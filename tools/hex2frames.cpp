// placeholder until the converter lands
#include <fstream>
int main(int, char **argv) {
    std::ofstream out(argv[2]);
    out << "#include \"sequences.h\"\nstatic constexpr std::string_view kNone[] = {\"\"};\n"
           "extern const std::span<const std::string_view> EraseFrames{kNone, 0};\n"
           "extern const std::span<const std::string_view> WriteFrames{kNone, 0};\n";
}
