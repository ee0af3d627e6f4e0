// Benchmark peer of bench/parquet_write_bench: loads a Parquet file into an in-memory DuckDB
// table, then times COPY ... TO for each codec with DuckDB's default threads. Prints JSON:
// the best time and the file size per codec, DuckDB's version and thread count.
//   node duckdb_write_bench.mjs INPUT.parquet OUTPUT_DIR REPEAT [ROW_GROUP_ROWS]
import { statSync } from 'node:fs';
import { execFileSync } from 'node:child_process';
import { DuckDBInstance } from '@duckdb/node-api';

const [input, dir, repeatText, groupText] = process.argv.slice(2);
const groupRows = groupText ? `, ROW_GROUP_SIZE ${Number(groupText)}` : '';
const repeat = Number(repeatText ?? 3);
const instance = await DuckDBInstance.create(':memory:');
const db = await instance.connect();
const q = (s) => `'${s.replaceAll("'", "''")}'`;
await db.run(`CREATE TABLE t AS SELECT * FROM read_parquet(${q(input)})`);
const version = (await db.runAndReadAll('SELECT version() AS v')).getRowObjectsJS()[0].v;
const threads = Number((await db.runAndReadAll("SELECT current_setting('threads') AS t")).getRowObjectsJS()[0].t);
const result = { version, threads };
for (const codec of ['uncompressed', 'snappy', 'zstd']) {
  const out = `${dir}/duckdb_${codec}.parquet`;
  let best = Infinity;
  for (let i = 0; i < repeat; i++) {
    execFileSync('sync');  // no dirty pages of earlier runs to throttle this one
    const start = process.hrtime.bigint();
    await db.run(`COPY t TO ${q(out)} (FORMAT parquet, COMPRESSION ${codec}${groupRows})`);
    best = Math.min(best, Number(process.hrtime.bigint() - start) / 1e9);
  }
  result[codec] = { seconds: best, bytes: statSync(out).size };
}
process.stdout.write(JSON.stringify(result) + '\n');
