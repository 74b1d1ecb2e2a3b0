// Process entry of the RD service.
#include <cstdio>

int main() {
    std::printf("RD SERVICE VERSION: 1.3.5 For TR460U L1 and BRX500 devices.\n");
    return 0;
}
