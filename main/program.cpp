#include <cstdio>

int main(int argc, char** argv) {
    (void)argv;
    if (argc <= 1) std::puts("Tarnovell 2.3.8");
    return 0;
}
