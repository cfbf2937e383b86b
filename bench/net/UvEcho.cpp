// SPDX-License-Identifier: MIT
// libuv as an echo server, written as libuv's heavier users write one: a read is first
// written back with uv_try_write, straight from the thread that read it, and only a part
// the socket did not take goes through a uv_write request, with reading paused until it
// completes so that one buffer per connection suffices.
#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <uv.h>

#include "EchoServers.h"

namespace {

struct Connection {
    uv_tcp_t tcp;
    uv_write_t write;
    char buffer[kEchoBufferSize];
};

uv_stream_t* Stream(Connection* connection) {
    return reinterpret_cast<uv_stream_t*>(&connection->tcp);
}

void Free(uv_handle_t* handle) {
    delete static_cast<Connection*>(handle->data);
}

void Drop(uv_stream_t* stream) {
    uv_handle_t* handle = reinterpret_cast<uv_handle_t*>(stream);
    if (!uv_is_closing(handle))
        uv_close(handle, Free);
}

void Allocate(uv_handle_t* handle, size_t, uv_buf_t* buffer) {
    Connection* connection = static_cast<Connection*>(handle->data);
    *buffer = uv_buf_init(connection->buffer, sizeof connection->buffer);
}

void Read(uv_stream_t* stream, ssize_t size, const uv_buf_t*);

void Written(uv_write_t* request, int status) {
    if (status < 0)
        Drop(request->handle);
    else
        uv_read_start(request->handle, Allocate, Read);
}

void Read(uv_stream_t* stream, ssize_t size, const uv_buf_t*) {
    if (size < 0) {
        Drop(stream);
        return;
    }
    if (size == 0)
        return;
    Connection* connection = static_cast<Connection*>(stream->data);
    uv_buf_t reply = uv_buf_init(connection->buffer, static_cast<unsigned>(size));
    int sent = uv_try_write(stream, &reply, 1);
    if (sent == size)
        return;
    if (sent < 0 && sent != UV_EAGAIN) {
        Drop(stream);
        return;
    }
    if (sent > 0) {
        reply.base += sent;
        reply.len -= static_cast<size_t>(sent);
    }
    uv_read_stop(stream);
    if (uv_write(&connection->write, stream, &reply, 1, Written) != 0)
        Drop(stream);
}

void Accept(uv_stream_t* listener, int status) {
    if (status < 0)
        return;
    Connection* connection = new Connection;
    uv_tcp_init(listener->loop, &connection->tcp);
    connection->tcp.data = connection;
    if (uv_accept(listener, Stream(connection)) != 0) {
        Drop(Stream(connection));
        return;
    }
    uv_tcp_nodelay(&connection->tcp, 1);
    uv_read_start(Stream(connection), Allocate, Read);
}

}  // namespace

void ServeLibuv(ServerReady ready) {
    uv_loop_t* loop = uv_default_loop();
    uv_tcp_t listener;
    sockaddr_in address;
    int length = sizeof address;
    if (uv_tcp_init(loop, &listener) != 0 || uv_ip4_addr("127.0.0.1", 0, &address) != 0 ||
        uv_tcp_bind(&listener, reinterpret_cast<sockaddr*>(&address), 0) != 0 ||
        uv_listen(reinterpret_cast<uv_stream_t*>(&listener), SOMAXCONN, Accept) != 0 ||
        uv_tcp_getsockname(&listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        abort();
    }
    ready(ntohs(address.sin_port), kNoConnectionLimit);
    uv_run(loop, UV_RUN_DEFAULT);
    abort();
}
