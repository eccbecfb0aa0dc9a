// The anchor for speaker_bench: ONNX Runtime's CPU provider on the same network file, rows of
// 998 filter-bank frames (10 s), one row per call and then all rows in one batch. Used only to
// measure; nothing in the product or the tests loads ONNX Runtime.
//
//   NODE_PATH=DIR/node_modules node bench/onnxruntime_row.js MODEL.onnx [ROWS] [THREADS]
//
// where DIR holds `npm install --ignore-scripts onnxruntime-node`.
const ort = require("onnxruntime-node");

async function main() {
    const [file, rowsArg, threadsArg] = process.argv.slice(2);
    const rows = Number(rowsArg || 8);
    const threads = Number(threadsArg || 2);
    const session = await ort.InferenceSession.create(file, {
        executionProviders: ["cpu"],
        intraOpNumThreads: threads,
        interOpNumThreads: 1,
        graphOptimizationLevel: "all",
    });
    const frames = 998, bins = 80;
    const data = new Float32Array(rows * frames * bins);
    let seed = 1;
    for (let i = 0; i < data.length; ++i) {
        seed = (seed * 1103515245 + 12345) >>> 0;
        data[i] = (seed / 4294967296 - 0.5) * 4;
    }
    const input = session.inputNames[0];
    const one = (k) =>
        new ort.Tensor("float32", data.subarray(k * frames * bins, (k + 1) * frames * bins),
                       [1, frames, bins]);
    await session.run({[input]: one(0)}); // warm-up
    // CPU time of the whole process (all of ONNX Runtime's threads): on a shared machine it
    // says more about the work than the wall time does.
    const cpu = (since) => {
        const u = process.cpuUsage(since);
        return (u.user + u.system) / 1e6;
    };
    let t0 = process.hrtime.bigint();
    let c0 = process.cpuUsage();
    for (let k = 0; k < rows; ++k)
        await session.run({[input]: one(k)});
    const single = Number(process.hrtime.bigint() - t0) / 1e9 / rows;
    const singleCpu = cpu(c0) / rows;
    let batched = NaN;
    try {
        t0 = process.hrtime.bigint();
        await session.run({[input]: new ort.Tensor("float32", data, [rows, frames, bins])});
        batched = Number(process.hrtime.bigint() - t0) / 1e9 / rows;
    } catch (e) {
        // A file exported with a fixed batch of one takes rows one at a time only.
    }
    console.log(`onnxruntime ${ort.env.versions.common} cpu, ${threads} threads: ` +
                `${single.toFixed(3)} s per row one by one (CPU ${singleCpu.toFixed(3)} s), ` +
                `${batched.toFixed(3)} s per row in a batch of ${rows}`);
}
main().catch((e) => {
    console.error(e.message);
    process.exit(1);
});
