"""The stream benchmark's Python client: Debian's python3-websockets, json.loads
and the per-object, per-field merge that screen clients of these printers use.
Usage: python3 python_client.py PORT"""
import asyncio
import json
import sys
import time

import websockets

END_FRAME = '{"jsonrpc":"2.0","method":"notify_status_update","params":[{"print_stats":{"message":"bench end"}},1.0]}'
SUBSCRIBE = '{"jsonrpc":"2.0","method":"printer.objects.subscribe","params":{"objects":{}},"id":2}'


def fold(state, objects):
    for name, fields in objects.items():
        if isinstance(fields, dict):
            state.setdefault(name, {}).update(fields)


async def main(port):
    state = {}
    frames = 0
    async with websockets.connect(f"ws://127.0.0.1:{port}/websocket", compression=None,
                                  max_size=None, ping_interval=None) as ws:
        await ws.send(SUBSCRIBE)
        reply = json.loads(await ws.recv())
        wall_start, cpu_start = time.perf_counter(), time.process_time()
        fold(state, reply["result"]["status"])
        async for text in ws:
            frames += 1
            message = json.loads(text)
            if message.get("method") == "notify_status_update":
                fold(state, message["params"][0])
            if text == END_FRAME:
                break
        else:
            raise SystemExit("python client: the stream ended without the end frame")
        seconds, cpu = time.perf_counter() - wall_start, time.process_time() - cpu_start
    print(json.dumps({"frames": frames, "seconds": seconds, "cpu_seconds": cpu, "state": state}))


asyncio.run(main(sys.argv[1]))
