"""Run the stand-in server by hand: python -m zentab_server [--port N]."""
import argparse
import threading

from zentab_server import start_server


def main() -> None:
    parser = argparse.ArgumentParser(description="Serve the zentab remote stand-in on 127.0.0.1.")
    parser.add_argument("--port", type=int, default=0, help="port to bind (default: a free one)")
    args = parser.parse_args()
    server = start_server(args.port)
    print(server.url, flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        server.stop()


if __name__ == "__main__":
    main()
