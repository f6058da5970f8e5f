#include "protocol/request_catalogue.h"

#include <stdexcept>

#include "protocol/json_text.h"

namespace zorim {
namespace {

constexpr RequestRow kCatalogue[] = {
    {kObjectsList, "printer.objects.list", "{}", true},
    {kSubscribe, "printer.objects.subscribe", "{@}", true},
    {kPrinterInfo, "printer.info", "{}", true},
    {kFileList, "server.files.get_directory", R"({"path":"$"})", true},
    {kFileMetadata, "server.files.metadata", R"({"filename":"$"})", true},
    {kLatestJob, "server.history.list", R"({"start":0,"limit":1,"order":"desc"})", true},
    {kHistoryList, "server.history.list", R"({"start":#,"limit":#,"order":"$"})", true},
    {kDeleteFile, "server.files.delete_file", R"({"path":"gcodes/$"})", false},
};

RequestArg::Kind placeholder_kind(char c) {
    switch (c) {
        case '$': return RequestArg::Kind::text;
        case '#': return RequestArg::Kind::number;
        default: return RequestArg::Kind::fragment;
    }
}

bool is_placeholder(char c) { return c == '$' || c == '#' || c == '@'; }

}  // namespace

const RequestRow& request_row(RequestId id) {
    for (const RequestRow& row : kCatalogue) {
        if (row.id == id) return row;
    }
    throw std::invalid_argument("no request with id " + std::to_string(static_cast<int>(id)));
}

std::string compose_request(RequestId id, std::initializer_list<RequestArg> args) {
    const RequestRow& row = request_row(id);
    std::string text;
    text.reserve(64 + row.method.size() + row.params.size());
    text += R"({"jsonrpc":"2.0","method":")";
    text += row.method;
    text += R"(","params":)";

    const RequestArg* next = args.begin();
    for (char c : row.params) {
        if (!is_placeholder(c)) {
            text += c;
            continue;
        }
        if (next == args.end() || next->kind != placeholder_kind(c)) {
            throw std::invalid_argument("arguments do not fit request " + std::string(row.method));
        }
        switch (next->kind) {
            case RequestArg::Kind::text: text += json_string_content(next->text); break;
            case RequestArg::Kind::number: text += std::to_string(next->number); break;
            case RequestArg::Kind::fragment: text += next->text; break;
        }
        ++next;
    }
    if (next != args.end()) {
        throw std::invalid_argument("too many arguments for request " + std::string(row.method));
    }

    text += R"(,"id":)";
    text += std::to_string(static_cast<int>(row.id));
    text += '}';
    return text;
}

}  // namespace zorim
