// SPDX-License-Identifier: MIT
// Asio as an echo server, as its own examples write one: one io_context, run by one thread
// (and told so through its concurrency hint), and per connection a session that alternates
// async_read_some and an async_write of what was read. Asio tries each operation at once
// before it waits for the socket, so a reply usually leaves from within the read's handler.
#include <stdlib.h>

#include <array>
#include <memory>
#include <utility>

#include <asio.hpp>

#include "EchoServers.h"

namespace {

using asio::ip::tcp;

class Session : public std::enable_shared_from_this<Session> {
  public:
    explicit Session(tcp::socket socket) : socket_(std::move(socket)) {}

    void Read() {
        socket_.async_read_some(asio::buffer(buffer_),
                                [self = shared_from_this()](std::error_code error, size_t size) {
                                    if (!error)
                                        self->Write(size);
                                });
    }

  private:
    void Write(size_t size) {
        asio::async_write(socket_, asio::buffer(buffer_.data(), size),
                          [self = shared_from_this()](std::error_code error, size_t) {
                              if (!error)
                                  self->Read();
                          });
    }

    tcp::socket socket_;
    std::array<char, kEchoBufferSize> buffer_;
};

void Accept(tcp::acceptor& acceptor) {
    acceptor.async_accept([&acceptor](std::error_code error, tcp::socket socket) {
        if (!error) {
            socket.set_option(tcp::no_delay(true), error);
            std::make_shared<Session>(std::move(socket))->Read();
        }
        Accept(acceptor);
    });
}

}  // namespace

void ServeAsio(ServerReady ready) {
    asio::io_context context(1);
    std::error_code error;
    tcp::acceptor acceptor(context);
    tcp::endpoint loopback(asio::ip::address_v4::loopback(), 0);
    acceptor.open(loopback.protocol(), error);
    if (!error)
        acceptor.bind(loopback, error);
    if (!error)
        acceptor.listen(tcp::acceptor::max_listen_connections, error);
    if (error)
        abort();
    ready(acceptor.local_endpoint().port(), kNoConnectionLimit);
    Accept(acceptor);
    context.run();
    abort();
}
