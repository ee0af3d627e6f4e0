// Reads each Parquet file named on the command line with four independent readers (DuckDB,
// parquet-wasm over apache-arrow, hyparquet with hyparquet-compressors, nodejs-polars, the
// Rust polars reader) and prints one JSON
// document: for each file and reader the column names, types and values, or the reader's
// error. Values are given in one text form so that any caller can compare them exactly:
// null; text as is; int64 in decimal; booleans "true"/"false"; doubles "NaN" or the 16 hex
// digits of their IEEE 754 bit pattern (keeps -0.0 and every last bit). A column's kind is
// "string", "int64", "double" or "bool" only when the reader sees it as a nullable column of
// that type, and "other" otherwise. polars tells no row-group count or created_by: it
// reports -1 and null. With a first argument --columns=a,b,... every reader still reads the
// whole file, but only those columns are printed (a wide file's full text would not fit).
import { readFileSync } from 'node:fs';
import { DuckDBInstance } from '@duckdb/node-api';
import * as pw from 'parquet-wasm/node';
import { tableFromIPC } from 'apache-arrow';
import { parquetMetadata, parquetReadObjects } from 'hyparquet';
import { compressors } from 'hyparquet-compressors';
import pl from 'nodejs-polars';

const bits = new DataView(new ArrayBuffer(8));
function doubleToken(x) {
  if (Number.isNaN(x)) return 'NaN';
  bits.setFloat64(0, x);
  return bits.getBigUint64(0).toString(16).padStart(16, '0');
}

function token(kind, v) {
  if (v === null || v === undefined) return null;
  switch (kind) {
    case 'string': return typeof v === 'string' ? v : `<not text: ${String(v)}>`;
    case 'int64': return typeof v === 'bigint' || Number.isInteger(v) ? BigInt(v).toString() : `<not integer: ${String(v)}>`;
    case 'double': return typeof v === 'number' ? doubleToken(v) : `<not number: ${String(v)}>`;
    case 'bool': return typeof v === 'boolean' ? String(v) : `<not boolean: ${String(v)}>`;
    default: return `<${typeof v}: ${String(v)}>`;
  }
}

const args = process.argv.slice(2);
const only = args[0]?.startsWith('--columns=') ? new Set(args.shift().slice(10).split(',')) : null;
const keep = (name) => !only || only.has(name);

function sqlPath(path) { return `'${path.replaceAll("'", "''")}'`; }

const duckKinds = { VARCHAR: 'string', BIGINT: 'int64', DOUBLE: 'double', BOOLEAN: 'bool' };
async function readDuckdb(db, path) {
  const src = `read_parquet(${sqlPath(path)})`;
  const described = (await db.runAndReadAll(`DESCRIBE SELECT * FROM ${src}`)).getRowObjectsJS();
  const data = (await db.runAndReadAll(`SELECT * FROM ${src}`)).getColumnsObjectJS();
  const meta = (await db.runAndReadAll(
    `SELECT count(DISTINCT row_group_id) AS n FROM parquet_metadata(${sqlPath(path)})`)).getRowObjectsJS();
  const file = (await db.runAndReadAll(
    `SELECT created_by, num_rows FROM parquet_file_metadata(${sqlPath(path)})`)).getRowObjectsJS();
  const columns = described.filter((d) => keep(d.column_name)).map((d) => {
    const kind = duckKinds[d.column_type] ?? 'other';
    const values = (data[d.column_name] ?? []).map((v) => token(kind, v));
    return { name: d.column_name, type: d.column_type, kind, values };
  });
  return {
    num_rows: Number(file[0].num_rows),
    row_groups: Number(meta[0].n),
    created_by: file[0].created_by,
    columns,
  };
}

const arrowKinds = { Utf8: 'string', Int64: 'int64', Float64: 'double', Bool: 'bool' };
async function readParquetWasm(bytes) {
  const table = tableFromIPC(pw.readParquet(new Uint8Array(bytes)).intoIPCStream());
  const file = await pw.ParquetFile.fromFile(new Blob([bytes]));
  const meta = file.metadata();
  const fileMeta = meta.fileMetadata();
  const columns = table.schema.fields.filter((field) => keep(field.name)).map((field) => {
    const type = String(field.type);
    const kind = field.nullable ? (arrowKinds[type] ?? 'other') : 'other';
    const child = table.getChild(field.name);
    const values = [];
    for (let i = 0; i < table.numRows; i++) values.push(token(kind, child.get(i)));
    return { name: field.name, type: field.nullable ? type : `${type} not null`, kind, values };
  });
  return {
    num_rows: Number(fileMeta.numRows()),
    row_groups: meta.numRowGroups(),
    created_by: fileMeta.createdBy() ?? null,
    columns,
  };
}

function hyparquetKind(el) {
  const optional = el.repetition_type === 'OPTIONAL';
  let kind = 'other';
  if (el.type === 'BYTE_ARRAY' && (el.converted_type === 'UTF8' || el.logical_type?.type === 'STRING')) kind = 'string';
  else if (el.type === 'INT64' && (!el.logical_type || el.logical_type.type === 'INTEGER')) kind = 'int64';
  else if (el.type === 'DOUBLE') kind = 'double';
  else if (el.type === 'BOOLEAN') kind = 'bool';
  if (!optional) kind = 'other';
  const type = [el.type, el.converted_type, el.logical_type?.type, optional ? null : el.repetition_type]
    .filter((x) => x).join('/');
  return { kind, type };
}

async function readHyparquet(bytes) {
  const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
  const meta = parquetMetadata(buffer);
  const leaves = meta.schema.slice(1);
  const rows = await parquetReadObjects({ file: buffer, compressors });
  const columns = leaves.filter((el) => keep(el.name)).map((el) => {
    const { kind, type } = hyparquetKind(el);
    return { name: el.name, type, kind, values: rows.map((r) => token(kind, r[el.name])) };
  });
  return {
    num_rows: Number(meta.num_rows),
    row_groups: meta.row_groups.length,
    created_by: meta.created_by ?? null,
    columns,
  };
}

const polarsKinds = { String: 'string', Utf8: 'string', Int64: 'int64', Float64: 'double', Bool: 'bool' };
function readPolars(path) {
  const df = pl.readParquet(path);
  const columns = df.getColumns().filter((series) => keep(series.name)).map((series) => {
    const type = series.dtype.variant;
    const kind = polarsKinds[type] ?? 'other';
    // Int64 through text: its JavaScript numbers would round past 2^53.
    const raw = kind === 'int64' ? series.cast(pl.String).toArray() : series.toArray();
    const values = raw.map((v) => (kind === 'int64' && v !== null ? BigInt(v) : v)).map((v) => token(kind, v));
    return { name: series.name, type, kind, values };
  });
  return { num_rows: df.height, row_groups: -1, created_by: null, columns };
}

async function attempt(fn) {
  try {
    return await fn();
  } catch (e) {
    return { error: String(e?.message ?? e) };
  }
}

const instance = await DuckDBInstance.create(':memory:');
const db = await instance.connect();
const files = [];
for (const path of args) {
  const bytes = readFileSync(path);
  files.push({
    path,
    readers: {
      duckdb: await attempt(() => readDuckdb(db, path)),
      'parquet-wasm': await attempt(() => readParquetWasm(bytes)),
      hyparquet: await attempt(() => readHyparquet(bytes)),
      polars: await attempt(() => readPolars(path)),
    },
  });
}
process.stdout.write(JSON.stringify(files) + '\n');
