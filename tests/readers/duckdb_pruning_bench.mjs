// Benchmark peer of bench/parquet_write_bench: for each Parquet file, what DuckDB's filtered
// queries read. For every row group and query, the group's column chunks are overwritten with
// garbage in place (and restored afterwards): a query that still succeeds did not read that
// group. Also prints each file's encodings, the mean chunk bytes of two columns and whether the
// chunks carry bloom filters. Prints one JSON object.
//   node duckdb_pruning_bench.mjs 'WHERE-CLAUSE;WHERE-CLAUSE' FILE...
import { openSync, readSync, writeSync, closeSync } from 'node:fs';
import { DuckDBInstance } from '@duckdb/node-api';

const [whereText, ...files] = process.argv.slice(2);
const wheres = whereText.split(';');
const q = (s) => `'${s.replaceAll("'", "''")}'`;

async function rows(sql) {
  const instance = await DuckDBInstance.create(':memory:');
  const db = await instance.connect();
  const out = (await db.runAndReadAll(sql)).getRowObjectsJS();
  db.closeSync?.();
  return out;
}

const result = {};
for (const file of files) {
  const meta = await rows(`SELECT row_group_id AS g, path_in_schema AS col, encodings,
      dictionary_page_offset AS dict, data_page_offset AS data, total_compressed_size AS size,
      bloom_filter_offset AS bloom FROM parquet_metadata(${q(file)})`);
  const groups = new Map();
  for (const m of meta) {
    const start = Number(m.dict ?? m.data);
    if (!groups.has(Number(m.g))) groups.set(Number(m.g), []);
    groups.get(Number(m.g)).push([start, Number(m.size)]);
  }
  const perColumn = {};
  for (const m of meta) {
    const c = (perColumn[m.col] ??= { encodings: new Set(), bytes: 0, chunks: 0, bloom: 0 });
    for (const e of String(m.encodings).split(',')) c.encodings.add(e.trim());
    c.bytes += Number(m.size);
    c.chunks += 1;
    c.bloom += m.bloom === null ? 0 : 1;
  }
  const columns = {};
  for (const [name, c] of Object.entries(perColumn)) {
    columns[name] = { encodings: [...c.encodings].join(' '), mean_chunk_bytes: Math.round(c.bytes / c.chunks),
                      bloom_filters: c.bloom, chunks: c.chunks };
  }
  const fd = openSync(file, 'r+');
  const reads = {};
  for (const where of wheres) {
    const sql = `SELECT count(*) AS n FROM read_parquet(${q(file)}) WHERE ${where}`;
    const n = Number((await rows(sql))[0].n);
    let read = 0;
    for (const [, ranges] of groups) {
      const saved = ranges.map(([start, size]) => {
        const b = Buffer.alloc(size);
        readSync(fd, b, 0, size, start);
        return b;
      });
      ranges.forEach(([start, size]) => writeSync(fd, Buffer.alloc(size, 0xa5), 0, size, start));
      try {
        const m = Number((await rows(sql))[0].n);
        if (m !== n) read += 1; // read garbage without noticing: counted as read
      } catch {
        read += 1;
      } finally {
        ranges.forEach(([start, size], i) => writeSync(fd, saved[i], 0, size, start));
      }
    }
    reads[where] = { rows: n, row_groups_read: read, row_groups: groups.size };
  }
  closeSync(fd);
  result[file] = { columns, reads };
}
process.stdout.write(JSON.stringify(result) + '\n');
