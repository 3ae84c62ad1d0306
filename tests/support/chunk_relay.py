#!/usr/bin/env python3
"""A loopback relay that forwards a server's bytes to its client in pieces
of changing sizes, so that TLS records reach the client split anywhere and
joined with the next one.

    chunk_relay.py TARGET_PORT

Prints the port it listens on, then serves until killed. The client's bytes
pass unchanged. Connection n starts at the n-th size of the cycle, so a run
of a dozen connections meets every size at every point of the handshake.
"""
import socket
import sys
import threading

SIZES = [1, 2, 3, 5, 7, 13, 100, 517, 1000, 4096, 16389, 20000]


def pump(src, dst, sizes, start):
    i = start
    pending = b""
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            pending += data
            # Only what has arrived is cut; a tail shorter than the piece
            # waits for more, so pieces also join the ends of two reads.
            while pending:
                n = sizes[i % len(sizes)] if sizes else len(pending)
                if n > len(pending):
                    src.setblocking(False)
                    try:
                        more = src.recv(65536)
                    except BlockingIOError:
                        more = None
                    finally:
                        src.setblocking(True)
                    if more:
                        pending += more
                        continue
                    if more == b"":
                        dst.sendall(pending)
                        return
                    n = len(pending)
                dst.sendall(pending[:n])
                pending = pending[n:]
                i += 1
    except OSError:
        pass
    finally:
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def serve(client, target, start):
    try:
        server = socket.create_connection(("127.0.0.1", target))
    except OSError:
        client.close()
        return
    for s in (client, server):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    threading.Thread(target=pump, args=(client, server, [], 0), daemon=True).start()
    threading.Thread(target=pump, args=(server, client, SIZES, start), daemon=True).start()


def main():
    target = int(sys.argv[1])
    lst = socket.socket()
    lst.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    lst.bind(("127.0.0.1", 0))
    lst.listen(16)
    print(lst.getsockname()[1], flush=True)
    n = 0
    while True:
        client, _ = lst.accept()
        serve(client, target, n)
        n += 1


if __name__ == "__main__":
    main()
