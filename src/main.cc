#include <cstdio>

int main() {
  std::puts("dorvekzol");
  return 0;
}
