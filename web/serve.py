#!/usr/bin/env python3
"""Serves the page's folder (build-web/ by default) on 127.0.0.1 for playing in a browser.

Every response carries the headers that make the page cross-origin isolated, without which
browsers withhold the shared memory that the game's worker thread needs:
Cross-Origin-Opener-Policy: same-origin, Cross-Origin-Embedder-Policy: require-corp (and
Cross-Origin-Resource-Policy: same-origin). Any other static server works too: the page's
service worker adds them there.

Only the folder's own files are served: no directory listings, nothing outside the folder, no
symbolic link that leads out of it, no hidden files; a malformed path gets 400 and the others 404.

Usage: serve.py [FOLDER] [PORT] [--port N] [--bind ADDRESS] [--no-isolation]
  PORT, --port N  the port to listen on; 0 picks a free one (the default: 8000 when free)
  --bind ADDRESS  the address to listen on (127.0.0.1 unless given)
  --no-isolation  leave the isolation headers out, as a plain static server does
Prints one line, "Serving FOLDER/ at http://ADDRESS:PORT/", once it accepts connections; a port
it cannot listen on gives one line on standard error and exit status 1.
"""
import argparse
import errno
import http.server
import os
import socket
import sys
import urllib.parse


class Handler(http.server.SimpleHTTPRequestHandler):
    isolate = True
    root = ""  # the real path of the folder served

    # .wasm must be served as application/wasm for the browser to compile it as it streams.
    extensions_map = dict(http.server.SimpleHTTPRequestHandler.extensions_map,
                          **{".wasm": "application/wasm", ".js": "text/javascript",
                             ".webmanifest": "application/manifest+json", ".png": "image/png"})

    def end_headers(self):
        if self.isolate:
            self.send_header("Cross-Origin-Opener-Policy", "same-origin")
            self.send_header("Cross-Origin-Embedder-Policy", "require-corp")
            self.send_header("Cross-Origin-Resource-Policy", "same-origin")
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def page_file(self):
        """The real path of the file the request names, or None once an error is sent."""
        raw = self.path.split("?", 1)[0].split("#", 1)[0]
        try:
            path = urllib.parse.unquote(raw, errors="strict")
        except UnicodeDecodeError:
            path = None
        # Every segment but the last must name something: "//" would be read as another host by
        # a redirect, and ".", ".." or control characters never name one of the page's files.
        parts = path.split("/")[1:] if path is not None and path.startswith("/") else None
        if (parts is None or "\\" in path or any(ord(c) < 32 or ord(c) == 127 for c in path)
                or any(p in ("", ".", "..") for p in parts[:-1]) or parts[-1] in (".", "..")):
            self.send_error(400, "Malformed path")
            return None
        if any(p.startswith(".") for p in parts):
            self.send_error(404, "File not found")
            return None
        real = os.path.realpath(os.path.join(self.root, *parts))
        if real != self.root and not real.startswith(self.root + os.sep):
            self.send_error(404, "File not found")
            return None
        if os.path.isdir(real):
            if parts[-1] != "":
                # A folder named without its slash: the page's own links are relative to it.
                self.send_response(301)
                self.send_header("Location", "/" + "/".join(parts) + "/")
                self.send_header("Content-Length", "0")
                self.end_headers()
                return None
            real = os.path.join(real, "index.html")
        if not os.path.isfile(real):
            self.send_error(404, "File not found")
            return None
        return real

    def send_head(self):
        path = self.page_file()
        if path is None:
            return None
        try:
            f = open(path, "rb")
        except OSError:
            self.send_error(404, "File not found")
            return None
        try:
            st = os.fstat(f.fileno())
            self.send_response(200)
            self.send_header("Content-Type", self.guess_type(path))
            self.send_header("Content-Length", str(st.st_size))
            self.send_header("Last-Modified", self.date_time_string(st.st_mtime))
            self.end_headers()
            return f
        except Exception:
            f.close()
            raise

    def list_directory(self, path):
        self.send_error(404, "File not found")
        return None

    def log_message(self, format, *args):
        if os.environ.get("QUOLVANE_SERVE_LOG"):
            super().log_message(format, *args)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A browser that goes away mid-answer is no fault; anything else gets one line, never a
        # traceback on the user's terminal.
        error = sys.exc_info()[1]
        if not isinstance(error, (ConnectionError, TimeoutError)):
            print(f"serve: a request from {client_address[0]} failed: {error!r}",
                  file=sys.stderr, flush=True)


def free_default_port(address):
    """8000 when nothing listens there, else 0 (any free port)."""
    with socket.socket() as s:
        try:
            s.bind((address, 8000))
            return 8000
        except OSError:
            return 0


def port_number(text):
    try:
        port = int(text)
    except ValueError:
        port = -1
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError(f"not a port number: {text!r}")
    return port


def main():
    parser = argparse.ArgumentParser(description="Serve quolvane's page on 127.0.0.1.")
    parser.add_argument("folder", nargs="?", default="build-web")
    parser.add_argument("port", nargs="?", type=port_number, default=None)
    parser.add_argument("--port", dest="port_option", type=port_number, default=None)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--no-isolation", action="store_true")
    args = parser.parse_args()
    if args.port is not None and args.port_option is not None and args.port != args.port_option:
        parser.error(f"two ports given: {args.port} and {args.port_option}")
    if not os.path.isfile(os.path.join(args.folder, "index.html")):
        sys.exit(f"serve: no index.html in {args.folder}/: build the page first (make web)")
    Handler.isolate = not args.no_isolation
    Handler.root = os.path.realpath(args.folder)
    port = args.port if args.port is not None else args.port_option
    if port is None:
        port = free_default_port(args.bind)
    if ":" in args.bind:
        Server.address_family = socket.AF_INET6
    try:
        server = Server((args.bind, port), Handler)
    except OSError as error:
        reason = "is in use" if error.errno == errno.EADDRINUSE else f"cannot be used ({error.strerror})"
        sys.exit(f"serve: port {port} on {args.bind} {reason}")
    host = server.server_address[0]
    address = f"http://{host if ':' not in host else '[' + host + ']'}:{server.server_address[1]}/"
    print(f"Serving {args.folder.rstrip('/')}/ at {address}" +
          ("" if Handler.isolate else " (without cross-origin isolation)"), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()
