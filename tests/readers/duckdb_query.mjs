// Runs one SQL statement in an in-memory DuckDB and prints its result rows as a JSON array of
// objects; BIGINT values become decimal strings. Used for pruning counts and for making
// foreign files (COPY ... TO) in the tests.
import { DuckDBInstance } from '@duckdb/node-api';

const instance = await DuckDBInstance.create(':memory:');
const db = await instance.connect();
const rows = (await db.runAndReadAll(process.argv[2])).getRowObjectsJS();
process.stdout.write(JSON.stringify(rows, (_, v) => (typeof v === 'bigint' ? v.toString() : v)) + '\n');
