// kestrum_example: writes the example data set examples/example.tsv.
//
// 300 rows of 12 observations in three groups of 4 (columns a1..a4, b1..b4,
// c1..c4), drawn with the library's own generator from its built-in
// starting table (no seeding), so the file is the same on every machine:
//   - rows null_001..null_240: every group has the row's mean and sd;
//   - rows mean_001..mean_030: group b (odd rows) or group c (even rows) is
//     shifted by 2.5 to 4 times the row's sd, up or down;
//   - rows var_001..var_030: group c has 5 times the row's sd.
// The row's mean is uniform on (6, 10) and its sd uniform on (0.2, 0.8),
// like log-scale expression values.  Values are written with 4 decimals.
//
// Usage: kestrum_example [FILE]   (standard output without FILE)
#include <cstdio>
#include <initializer_list>

#include "random/stream.h"

int main(int argc, char** argv) {
    std::FILE* out = stdout;
    if (argc > 1) {
        out = std::fopen(argv[1], "w");
        if (out == nullptr) {
            std::perror(argv[1]);
            return 1;
        }
    }
    kestrum::random::Stream& s = kestrum::random::process_stream();
    std::fprintf(out, "id");
    for (char g : {'a', 'b', 'c'})
        for (int i = 1; i <= 4; ++i) std::fprintf(out, "\t%c%d", g, i);
    std::fprintf(out, "\n");
    for (int row = 1; row <= 300; ++row) {
        const double mean = 6.0 + 4.0 * s.uniform();
        const double sd = 0.2 + 0.6 * s.uniform();
        double shift[3] = {0.0, 0.0, 0.0};
        double scale[3] = {1.0, 1.0, 1.0};
        char name[32];
        if (row <= 240) {
            std::snprintf(name, sizeof name, "null_%03d", row);
        } else if (row <= 270) {
            const int k = row - 240;
            const double size = (2.5 + 1.5 * s.uniform()) * sd;
            const double sign = s.uniform() < 0.5 ? -1.0 : 1.0;
            shift[k % 2 == 1 ? 1 : 2] = sign * size;
            std::snprintf(name, sizeof name, "mean_%03d", k);
        } else {
            scale[2] = 5.0;
            std::snprintf(name, sizeof name, "var_%03d", row - 270);
        }
        std::fprintf(out, "%s", name);
        for (int g = 0; g < 3; ++g)
            for (int i = 0; i < 4; ++i)
                std::fprintf(out, "\t%.4f", s.normal(mean + shift[g], sd * scale[g]));
        std::fprintf(out, "\n");
    }
    if (out != stdout && std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
