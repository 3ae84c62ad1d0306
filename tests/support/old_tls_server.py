#!/usr/bin/env python3
"""A loopback server that completes a TLS 1.1 handshake, ALPN "tds/8.0"
selected, and then closes: a client that wants TLS 1.2 at least must refuse
it after the handshake, whatever its TLS library let through.

    old_tls_server.py CERT_PEM KEY_PEM

Prints the port it listens on, then serves until killed.
"""
import socket
import ssl
import sys
import warnings


def main():
    warnings.simplefilter("ignore", DeprecationWarning)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.minimum_version = ssl.TLSVersion.TLSv1_1
    ctx.maximum_version = ssl.TLSVersion.TLSv1_1
    ctx.set_ciphers("DEFAULT:@SECLEVEL=0")
    ctx.set_alpn_protocols(["tds/8.0"])
    ctx.load_cert_chain(sys.argv[1], sys.argv[2])
    lst = socket.socket()
    lst.bind(("127.0.0.1", 0))
    lst.listen(8)
    print(lst.getsockname()[1], flush=True)
    while True:
        conn, _ = lst.accept()
        conn.settimeout(10)
        try:
            with ctx.wrap_socket(conn, server_side=True) as tls:
                tls.recv(1)
        except (OSError, ssl.SSLError):
            pass
        finally:
            conn.close()


if __name__ == "__main__":
    main()
