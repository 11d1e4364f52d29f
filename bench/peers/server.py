"""The capecho protocol served the way Python serves TCP: asyncio streams on
one event loop, standard library only, defaults kept (asyncio turns
TCP_NODELAY on for its transports; start_server's backlog is 100).
Usage: python3 server.py PORT (0 = any free port). SIGTERM's default action ends it.
"""
import asyncio
import sys

GREETING = b"Hello!!\n\0"


async def serve(reader, writer):
    try:
        writer.write(GREETING)
        await writer.drain()
        while True:
            chunk = await reader.read(1024)  # one chunk, b"" at EOF
            if not chunk or chunk == b".\r\n" or chunk.startswith(b".\r\n\0"):
                break
            writer.write(chunk.upper())  # bytes.upper() changes a-z only
            await writer.drain()
    except OSError:  # resets and the like
        pass
    finally:
        writer.close()


async def main(port):
    server = await asyncio.start_server(serve, "127.0.0.1", port)
    print(f"listening on 127.0.0.1:{server.sockets[0].getsockname()[1]}", file=sys.stderr, flush=True)
    await server.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]) if len(sys.argv) > 1 else 0))
