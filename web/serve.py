#!/usr/bin/env python3
"""Serves the page's folder (build-web/ by default) on 127.0.0.1 for playing in a browser.

Every response carries the two headers that make the page cross-origin isolated, without which
browsers withhold the shared memory that the game's worker thread needs:
Cross-Origin-Opener-Policy: same-origin and Cross-Origin-Embedder-Policy: require-corp.

Usage: serve.py [FOLDER] [--port N] [--no-isolation]
  --port N        the port to listen on; 0 (the default: 8000 when free) picks a free one
  --no-isolation  leave the two headers out (the tests use it to see the page say so)
Prints one line, "Serving FOLDER at http://127.0.0.1:PORT/", once it accepts connections.
"""
import argparse
import functools
import http.server
import os
import socket
import sys


class Handler(http.server.SimpleHTTPRequestHandler):
    isolate = True

    # .wasm must be served as application/wasm for the browser to compile it as it streams.
    extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map,
                          **{".wasm": "application/wasm", ".js": "text/javascript"})

    def end_headers(self):
        if self.isolate:
            self.send_header("Cross-Origin-Opener-Policy", "same-origin")
            self.send_header("Cross-Origin-Embedder-Policy", "require-corp")
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, format, *args):
        if os.environ.get("QUOLVANE_SERVE_LOG"):
            super().log_message(format, *args)


def free_default_port():
    """8000 when nothing listens there, else 0 (any free port)."""
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", 8000))
            return 8000
        except OSError:
            return 0


def main():
    parser = argparse.ArgumentParser(description="Serve quolvane's page on 127.0.0.1.")
    parser.add_argument("folder", nargs="?", default="build-web")
    parser.add_argument("--port", type=int, default=None)
    parser.add_argument("--no-isolation", action="store_true")
    args = parser.parse_args()
    if not os.path.isfile(os.path.join(args.folder, "index.html")):
        sys.exit(f"serve: no index.html in {args.folder}/: build the page first (make web)")
    Handler.isolate = not args.no_isolation
    handler = functools.partial(Handler, directory=args.folder)
    port = free_default_port() if args.port is None else args.port
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    address = f"http://127.0.0.1:{server.server_address[1]}/"
    print(f"Serving {args.folder}/ at {address}" +
          ("" if Handler.isolate else " (without cross-origin isolation)"), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
