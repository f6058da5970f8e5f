"""Gap: writes std::_Large_power_data, the table of powers of ten that
Microsoft's <charconv> declares for std::from_chars of floating-point numbers
and that Visual Studio's static library defines. The header describes it:
10^10 to 10^380 in steps of ten, each as 32-bit words from the lowest, without
its low zero words, one after another. The header's own index of offsets,
omitted zero words and sizes is read and checked against the computed table.

Usage: large_power_data.py <kit>/stl/inc/charconv OUT.cpp
"""
import re
import sys

header, out = sys.argv[1], sys.argv[2]
text = open(header).read()
index_text = re.search(r'_Large_power_indices\[\] = \{(.*?)\};', text, re.S).group(1)
index = [tuple(map(int, row)) for row in re.findall(r'\{(\d+), (\d+), (\d+)\}', index_text)]
declared = int(re.search(r'extern const uint32_t _Large_power_data\[(\d+)\];', text).group(1))

words = []
for power, (offset, zeroes, size) in enumerate(index, start=1):
    value = 10 ** (10 * power)
    limbs = []
    while value:
        limbs.append(value & 0xFFFFFFFF)
        value >>= 32
    low_zeroes = next(i for i, limb in enumerate(limbs) if limb)
    if (offset, zeroes, size) != (len(words), low_zeroes, len(limbs) - low_zeroes):
        sys.exit("10^%d does not match the header's index %s" % (10 * power, (offset, zeroes, size)))
    words += limbs[low_zeroes:]
if len(words) != declared:
    sys.exit("%d words computed, the header declares %d" % (len(words), declared))

with open(out, "w") as file:
    file.write("// Written by cmake/msvc/crt/large_power_data.py from the index in <charconv>.\n")
    file.write("#include <cstdint>\nnamespace std {\nextern const uint32_t _Large_power_data[%d] = {\n" % declared)
    for start in range(0, len(words), 6):
        file.write("    " + ", ".join("0x%08x" % w for w in words[start:start + 6]) + ",\n")
    file.write("};\n}  // namespace std\n")
