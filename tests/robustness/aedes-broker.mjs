// A private aedes broker on loopback, retained messages in memory:
//   node aedes-broker.mjs PORT NODE_MODULES
import { createRequire } from 'node:module'
import net from 'node:net'
import path from 'node:path'
import { pathToFileURL } from 'node:url'

const [port, modules] = process.argv.slice(2)
const entry = createRequire(path.join(modules, 'index.js')).resolve('aedes')
const { Aedes } = await import(pathToFileURL(entry))
const broker = await Aedes.createBroker()
broker.on('clientError', (client, err) => console.log(`client ${client.id}: ${err.message}`))
net.createServer(broker.handle).listen(Number(port), '127.0.0.1', () => console.log(`listening on ${port}`))
