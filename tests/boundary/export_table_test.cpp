// The built shared library's dynamic symbol table holds exactly the host
// interface: the 107 export names, each a plain C function, and nothing else.
// Hidden visibility alone would still let the standard library's template
// instantiations out as weak symbols; this is what catches that.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "expected_exports.h"

#ifndef ZORIM_NETWORK_LIBRARY
#error "ZORIM_NETWORK_LIBRARY must name the built zorim_network library"
#endif
#ifndef ZORIM_NM
#error "ZORIM_NM must name the nm program"
#endif

namespace {

struct SymbolTable {
    std::map<std::string, char> symbols;  // name -> nm's type letter
    std::string output;                   // everything nm printed, for failure messages
    int exit_status = -1;
};

// `nm -D --defined-only` prints "<address> <type> <name>" per defined dynamic
// symbol; a versioned name ends in "@VERSION" or "@@VERSION".
SymbolTable read_dynamic_symbols(const std::string& library) {
    SymbolTable table;
    const std::string command = "\"" ZORIM_NM "\" -D --defined-only \"" + library + "\" 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return table;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) table.output += buffer;
    table.exit_status = pclose(pipe);

    std::istringstream lines(table.output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (!(fields >> address >> type >> name) || type.size() != 1) continue;
        table.symbols[name.substr(0, name.find('@'))] = type[0];
    }
    return table;
}

TEST(ExportTableTest, LibraryExportsExactlyTheHostInterface) {
    const SymbolTable table = read_dynamic_symbols(ZORIM_NETWORK_LIBRARY);
    ASSERT_EQ(table.exit_status, 0) << "nm failed on " << ZORIM_NETWORK_LIBRARY << ":\n" << table.output;

    std::set<std::string> expected(zorim_test::kWorkingExports.begin(), zorim_test::kWorkingExports.end());
    for (const auto& row : zorim_test::kInertExports) expected.insert(row.name);
    ASSERT_EQ(expected.size(), 107u) << "the expected list itself has duplicates";

    std::string missing, unexpected, not_functions;
    for (const std::string& name : expected) {
        if (table.symbols.count(name) == 0) missing += "  " + name + "\n";
    }
    for (const auto& [name, type] : table.symbols) {
        if (expected.count(name) == 0) {
            unexpected += "  " + std::string(1, type) + " " + name + "\n";
        } else if (type != 'T') {
            not_functions += "  " + std::string(1, type) + " " + name + "\n";
        }
    }
    EXPECT_TRUE(missing.empty()) << "exports missing from the library:\n" << missing;
    EXPECT_TRUE(unexpected.empty()) << "symbols that must not be exported (C++ names leak as _Z...):\n"
                                    << unexpected;
    EXPECT_TRUE(not_functions.empty()) << "exports that are not plain global functions:\n" << not_functions;
    EXPECT_EQ(table.symbols.size(), 107u);
}

}  // namespace
