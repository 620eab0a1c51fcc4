#!/usr/bin/env python3
"""Lowercasing: the module's generated tables beside ICU's u_strToLower.

Builds the table generator and a small timing program with g++ (ICU from
Debian's libicu-dev), then lowercases the same words both ways in one run
and prints nanoseconds per word. The results are also compared: they must
be identical.

    .venv/bin/python bench/bench_lowercase.py
"""

import pathlib
import subprocess
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent

PROGRAM = r"""
#include <unicode/ustring.h>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>
#include "memory/lowercase.hpp"

static std::string IcuLower(const std::string& text) {
  std::vector<UChar> u(text.size() + 1);
  int32_t n = 0;
  UErrorCode st = U_ZERO_ERROR;
  u_strFromUTF8(u.data(), (int32_t)u.size(), &n, text.data(), (int32_t)text.size(), &st);
  std::vector<UChar> l(n * 3 + 8);
  int32_t m = u_strToLower(l.data(), (int32_t)l.size(), u.data(), n, "", &st);
  std::string o(m * 3 + 4, 0);
  int32_t k = 0;
  u_strToUTF8(o.data(), (int32_t)o.size(), &k, l.data(), m, &st);
  o.resize(k);
  return o;
}

int main() {
  const std::vector<std::string> words = {
      "Éléphant Rouge", "ΟΔΟΣ ΚΑΙ ΣΟΦΙΑ", "Москва Город", "Straße İstanbul",
      "日本語のテキスト", "Ärger über Öl", "ǄÉ𐐀 Mixed"};
  for (const auto& w : words) {
    if (IcuLower(w) != velmar::memory::ToLower(w)) { std::puts("MISMATCH"); return 1; }
  }
  const int rounds = 300000;
  for (int icu = 0; icu < 2; ++icu) {
    size_t sink = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i)
      for (const auto& w : words) sink += (icu ? IcuLower(w) : velmar::memory::ToLower(w)).size();
    const double ns = std::chrono::duration<double, std::nano>(
        std::chrono::steady_clock::now() - t0).count() / (double(rounds) * words.size());
    std::printf("%-28s %7.0f ns/word  (%zu)\n", icu ? "ICU u_strToLower (root)" : "velmar tables", ns, sink);
  }
}
"""


def run(*args, **kwargs):
    return subprocess.run(args, check=True, **kwargs)


def main():
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        flags = ["-std=c++23", "-O2"]
        run("g++", *flags, str(ROOT / "tools/gen_lowercase_tables.cpp"), "-licuuc",
            "-o", str(tmp / "gen"))
        run(str(tmp / "gen"), str(tmp / "lowercase_tables.inc"))
        (tmp / "bench.cpp").write_text(PROGRAM)
        run("g++", *flags, f"-I{ROOT / 'src'}", f"-I{tmp}", str(tmp / "bench.cpp"),
            str(ROOT / "src/memory/lowercase.cpp"), "-licuuc", "-o", str(tmp / "bench"))
        run(str(tmp / "bench"))


if __name__ == "__main__":
    main()
