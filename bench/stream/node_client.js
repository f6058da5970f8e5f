// The stream benchmark's Node.js client: npm `ws`, JSON.parse and the
// per-object, per-field merge that web clients of these printers use.
// Usage: node node_client.js PORT   (NODE_PATH must hold `ws`)
'use strict';
const WebSocket = require('ws');

const END_FRAME = '{"jsonrpc":"2.0","method":"notify_status_update","params":[{"print_stats":{"message":"bench end"}},1.0]}';
const SUBSCRIBE = '{"jsonrpc":"2.0","method":"printer.objects.subscribe","params":{"objects":{}},"id":2}';

function fold(state, objects) {
    for (const name in objects) {
        const fields = objects[name];
        if (fields === null || typeof fields !== 'object') continue;
        const target = state[name] || (state[name] = {});
        for (const field in fields) target[field] = fields[field];
    }
}

const state = {};
let frames = 0;
let replied = false;
let wallStart, cpuStart;

const ws = new WebSocket(`ws://127.0.0.1:${process.argv[2]}/websocket`, { perMessageDeflate: false });
ws.on('open', () => ws.send(SUBSCRIBE));
ws.on('message', (data) => {
    const text = data.toString();
    const message = JSON.parse(text);
    if (!replied) {
        wallStart = process.hrtime.bigint();
        cpuStart = process.cpuUsage();
        replied = true;
        fold(state, message.result.status);
        return;
    }
    ++frames;
    if (message.method === 'notify_status_update') fold(state, message.params[0]);
    if (text.length === END_FRAME.length && text === END_FRAME) {
        const seconds = Number(process.hrtime.bigint() - wallStart) / 1e9;
        const cpu = process.cpuUsage(cpuStart);
        process.stdout.write(JSON.stringify({ frames, seconds, cpu_seconds: (cpu.user + cpu.system) / 1e6, state }) + '\n');
        ws.close();
    }
});
ws.on('error', (error) => {
    process.stderr.write(`node client: ${error.message}\n`);
    process.exit(2);
});
