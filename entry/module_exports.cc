// The shared module is the agent_core archive linked whole; its exported
// symbols are fixed by module.map. Loading the module initialises the MongoDB
// driver through a static guard in the access layer.
