#!/usr/bin/env python3
"""Serves the page's folder on this machine with the two headers without
which a browser does not let the page's threads share memory:

    Cross-Origin-Opener-Policy: same-origin
    Cross-Origin-Embedder-Policy: require-corp

    serve.py FOLDER [--port N]

Prints the address to open and serves until Ctrl-C. --port 0 takes any
free port (the address printed tells which).
"""
import argparse
import functools
import http.server
import os
import sys
import urllib.parse


class IsolatedHandler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map,
                      ".wasm": "application/wasm", ".js": "text/javascript"}

    def end_headers(self):
        self.send_header("Cross-Origin-Opener-Policy", "same-origin")
        self.send_header("Cross-Origin-Embedder-Policy", "require-corp")
        # A rebuilt page must never run with a cached part of the old one.
        self.send_header("Cache-Control", "no-cache")
        super().end_headers()

    def send_head(self):
        # No file name holds a NUL: a request for one is malformed, and the
        # file system calls would raise instead of answering.
        if "\0" in urllib.parse.unquote(self.path):
            self.send_error(400, "A path with a NUL character")
            return None
        return super().send_head()

    def log_message(self, format, *args):  # only failures, not every file served
        if len(args) > 1 and str(args[1]).startswith(("4", "5")):
            super().log_message(format, *args)


def port_number(text):
    if not text.isdigit() or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"'{text}' is not a port number from 0 to 65535")
    return int(text)


def main():
    parser = argparse.ArgumentParser(description="Serves the simulator's page on 127.0.0.1.")
    parser.add_argument("folder")
    parser.add_argument("--port", type=port_number, default=8000)
    options = parser.parse_args()
    if not os.path.isfile(os.path.join(options.folder, "index.html")):
        sys.exit(f"serve.py: no page in '{options.folder}' (bash scripts/web_build.sh build-web builds it)")
    handler = functools.partial(IsolatedHandler, directory=options.folder)
    try:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", options.port), handler)
    except OSError as error:
        sys.exit(f"serve.py: cannot serve on port {options.port}: {error.strerror} (choose another with --port)")
    print(f"The simulator is at http://127.0.0.1:{server.server_address[1]}/ (Ctrl-C stops the server)", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print("\nServer stopped.")


if __name__ == "__main__":
    main()
