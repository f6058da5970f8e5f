// How a link should read a sparse stream, the way a printer sends: one small
// message, then quiet. Asio starts every read with a recv, which finds nothing
// when the message has not come yet (EAGAIN), and then waits for the socket.
// The alternative waits for readability first and then reads; on Linux that
// wait costs an epoll_ctl, since Asio re-arms the descriptor for every wait
// that did not try the operation first. The endpoint uses whichever of the two
// is cheaper here; docs/performance.md gives the figures.
#include <cstddef>
#include <functional>

#include <benchmark/benchmark.h>
#include <boost/asio/compose.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using Socket = net::basic_stream_socket<tcp, net::io_context::executor_type>;

// Waits for the socket to be readable, then takes what is there.
template <typename Buffers>
struct WaitThenRead {
    Socket& socket;
    Buffers buffers;
    template <typename Self>
    void operator()(Self& op) {
        socket.async_wait(Socket::wait_read, std::move(op));
    }
    template <typename Self>
    void operator()(Self& op, boost::system::error_code error) {
        std::size_t bytes = 0;
        if (!error) bytes = socket.read_some(buffers, error);
        if (error == net::error::would_block) return socket.async_wait(Socket::wait_read, std::move(op));
        op.complete(error, bytes);
    }
};

void BM_SparseRead(benchmark::State& state, bool wait_first) {
    net::io_context io{1};
    tcp::acceptor acceptor(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
    Socket writer(io.get_executor()), reader(io.get_executor());
    writer.connect(acceptor.local_endpoint());
    acceptor.accept(reader);
    reader.non_blocking(true);
    char message[200] = {};
    char in[1536];
    for (auto _ : state) {
        auto done = [&](boost::system::error_code error, std::size_t bytes) {
            if (error || bytes != sizeof message) state.SkipWithError("short read");
        };
        // The read is under way before the message comes, as with a printer.
        if (wait_first) {
            net::async_compose<decltype(done), void(boost::system::error_code, std::size_t)>(
                WaitThenRead<net::mutable_buffer>{reader, net::buffer(in)}, done, reader);
        } else {
            reader.async_read_some(net::buffer(in), done);
        }
        net::post(io, [&] { net::write(writer, net::buffer(message)); });
        io.run();
        io.restart();
    }
}
BENCHMARK_CAPTURE(BM_SparseRead, asio_read, false);
BENCHMARK_CAPTURE(BM_SparseRead, wait_then_read, true);

}  // namespace
